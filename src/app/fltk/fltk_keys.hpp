#pragma once
// FLTK's key numbers and modifier state as the Windows key codes and shift mask that the
// window model's key-down handler takes.

#include <cstdint>

namespace tarnwick::fltk {

// The Windows virtual-key code for an FLTK key (Fl::event_key()); 0 for a key Windows has no
// code for. Letters come as their upper-case ASCII, digits as their ASCII.
std::uint16_t VirtualKeyCode(int fltkKey);

// Windows' key-down shift argument for a key and the FLTK event state: 1 Shift, 2 Ctrl, 4 Alt.
// A modifier key counts itself as held, as Windows reports it in its own key-down.
int KeyDownShift(int fltkKey, int fltkState);

}  // namespace tarnwick::fltk

#include "key_codes.hpp"

#include <FL/Enumerations.H>

#include "ui/controls.hpp"

namespace tarnwick::fltk {

namespace {

struct KeyPair {
  int fltk;
  std::uint16_t windows;
};

constexpr KeyPair kNamedKeys[] = {
    {FL_BackSpace, 8},
    {FL_Tab, 9},
    {FL_Enter, 13},
    {FL_KP_Enter, 13},
    {FL_Shift_L, 16},
    {FL_Shift_R, 16},
    {FL_Control_L, 17},
    {FL_Control_R, 17},
    {FL_Alt_L, 18},
    {FL_Alt_R, 18},
    {FL_Pause, 19},
    {FL_Caps_Lock, 20},
    {FL_Escape, 27},
    {' ', 32},
    {FL_Page_Up, ui::kKeyPageUp},
    {FL_Page_Down, ui::kKeyPageDown},
    {FL_End, 35},
    {FL_Home, 36},
    {FL_Left, 37},
    {FL_Up, ui::kKeyUp},
    {FL_Right, 39},
    {FL_Down, ui::kKeyDown},
    {FL_Print, 44},
    {FL_Insert, 45},
    {FL_Delete, 46},
    {FL_Meta_L, 91},
    {FL_Meta_R, 92},
    {FL_Menu, 93},
    {FL_KP + '*', 106},
    {FL_KP + '+', 107},
    {FL_KP + '-', 109},
    {FL_KP + '.', 110},
    {FL_KP + '/', 111},
    {FL_Num_Lock, 144},
    {FL_Scroll_Lock, 145},
    // The US layout's punctuation keys, by the character they carry unshifted.
    {';', 186},
    {'=', 187},
    {',', 188},
    {'-', 189},
    {'.', 190},
    {'/', 191},
    {'`', 192},
    {'[', 219},
    {'\\', 220},
    {']', 221},
    {'\'', 222},
};

constexpr int kFunctionKeys = 24;  // Windows codes F1 to F24 as 112 to 135

}  // namespace

std::uint16_t VirtualKeyCode(int fltkKey) {
  if (fltkKey >= 'a' && fltkKey <= 'z') return static_cast<std::uint16_t>(fltkKey - 'a' + 'A');
  if (fltkKey >= '0' && fltkKey <= '9') return static_cast<std::uint16_t>(fltkKey);
  // With Num Lock on, FLTK reports the keypad's digit keys as keypad digits and types them:
  // Windows' numeric-keypad digits. With Num Lock off it reports them as the arrow, page,
  // Home, End, Insert and Delete keys, which map below as Windows' own do.
  if (fltkKey >= FL_KP + '0' && fltkKey <= FL_KP + '9') {
    return static_cast<std::uint16_t>(96 + fltkKey - (FL_KP + '0'));
  }
  if (fltkKey > FL_F && fltkKey <= FL_F + kFunctionKeys) {
    return static_cast<std::uint16_t>(111 + fltkKey - FL_F);
  }
  for (const KeyPair& pair : kNamedKeys) {
    if (pair.fltk == fltkKey) return pair.windows;
  }
  return 0;
}

int KeyDownShift(int fltkKey, int fltkState) {
  const bool shift = (fltkState & FL_SHIFT) != 0 || fltkKey == FL_Shift_L || fltkKey == FL_Shift_R;
  const bool ctrl =
      (fltkState & FL_CTRL) != 0 || fltkKey == FL_Control_L || fltkKey == FL_Control_R;
  const bool alt = (fltkState & FL_ALT) != 0 || fltkKey == FL_Alt_L || fltkKey == FL_Alt_R;
  return (shift ? 1 : 0) | (ctrl ? 2 : 0) | (alt ? 4 : 0);
}

bool IsStepKey(int fltkKey) {
  return fltkKey == FL_Up || fltkKey == FL_Down || fltkKey == FL_Page_Up || fltkKey == FL_Page_Down;
}

}  // namespace tarnwick::fltk

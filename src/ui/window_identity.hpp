#pragma once
// How another program finds the running window: the console tool by its class (on Windows),
// the simulator's control program by its caption. Constants only, so neither needs the model.

namespace tarnwick::ui {

inline constexpr char kWindowCaption[] = "Tarnwick Test";
// The Win32 window's class: by class, not title, since another program's window could carry
// the title.
inline constexpr char kWindowClass[] = "TarnwickTestWindow";

}  // namespace tarnwick::ui

#pragma once

namespace tarnwick::app {

// The window's class: the console tool looks for it to tell that the window runs.
inline constexpr char kWindowClass[] = "TarnwickTestWindow";

}  // namespace tarnwick::app

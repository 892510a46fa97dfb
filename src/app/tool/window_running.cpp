#include "window_running.hpp"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "win32/window_class.hpp"
#endif

namespace tarnwick::app {

#ifdef _WIN32
bool WindowRunning() {
  // By class, not title: another program's window could carry the title.
  return FindWindowA(kWindowClass, nullptr) != nullptr;
}
#else
// Nothing marks the Linux window as talking to this controller: a process name or an X
// window would guess, so no warning rather than a wrong one.
bool WindowRunning() {
  return false;
}
#endif

}  // namespace tarnwick::app

#include "window_running.hpp"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "ui/window_identity.hpp"

namespace tarnwick::app {

WindowMark::WindowMark() = default;
WindowMark::~WindowMark() = default;

bool WindowRunning(long& process) {
  process = 0;
  // By class, not title: another program's window could carry the title.
  const HWND window = FindWindowA(ui::kWindowClass, nullptr);
  if (window == nullptr) return false;
  DWORD id = 0;
  GetWindowThreadProcessId(window, &id);
  process = static_cast<long>(id);
  return true;
}

}  // namespace tarnwick::app

#pragma once

namespace tarnwick::app {

// Held for the whole run of a window, or of the script driver, which re-writes its set-point
// every second as a window does: it lets the console tool tell that one runs. On Windows the
// window's class says so already and this holds nothing. Best effort: where the mark cannot
// be made the program runs unmarked.
class WindowMark {
 public:
  WindowMark();
  ~WindowMark();
  WindowMark(const WindowMark&) = delete;
  WindowMark& operator=(const WindowMark&) = delete;

 private:
  int fd_ = -1;
};

// Whether a marked window runs on this controller's registry (on Windows: the window, by its
// class). process is its process id where known, else 0.
bool WindowRunning(long& process);

}  // namespace tarnwick::app

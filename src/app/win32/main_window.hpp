#pragma once
// The operator's window as native Win32 controls. The window model decides everything; this
// class only shows the model's state and feeds it the native events.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <array>
#include <string>

#include "ui/controls.hpp"
#include "ui/main_form.hpp"

namespace tarnwick::app {

class MainWindow {
 public:
  // trace: print the model's state line to stdout after every event.
  MainWindow(ui::MainForm& form, bool trace);
  ~MainWindow();
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // Creates the window and its controls, raises Form_Load, then shows the window.
  bool Create(HINSTANCE instance, int showCommand);
  // Null once the window is gone.
  HWND Handle() const { return window_; }

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK EntryProc(HWND entry, UINT message, WPARAM wParam, LPARAM lParam,
                                    UINT_PTR id, DWORD_PTR self);
  LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT OnEntryMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void OnCommand(WPARAM wParam, LPARAM lParam);

  void CreateControls(HINSTANCE instance);
  void CreateTooltip(HINSTANCE instance);
  RECT WindowRectFor(UINT dpi) const;
  void ApplyDpi(UINT dpi);

  // Runs one model event handler, then brings the native controls up to date.
  template <class Handler>
  void Raise(Handler&& handler);
  void Sync();
  // A failure escaped a handler: stop the timer, show the one message, end the program.
  void Fail(const char* message);

  HWND Control(ui::ControlIndex index) const { return controls_[index]; }

  ui::MainForm& form_;
  bool trace_;
  HWND window_ = nullptr;
  std::array<HWND, ui::kLayout.size()> controls_{};
  HWND tooltip_ = nullptr;
  HWND focus_ = nullptr;  // the control to give the focus back to on activation
  HFONT font_ = nullptr;
  UINT dpi_ = USER_DEFAULT_SCREEN_DPI;
  std::uint32_t shownColour_ = 0;
  bool failed_ = false;
  bool settingEntryText_ = false;  // our own SetWindowText must not come back as an edit
  std::string tooltipText_;        // the tooltip keeps a pointer to it
};

}  // namespace tarnwick::app

// TarnwickTest.exe: the operator's window on Windows.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <string>

#include "main_window.hpp"
#include "mark/setpoint_mark.hpp"
#include "platform/os.hpp"
#include "ui/main_form.hpp"
#include "ui/state_json.hpp"
#include "ui/window_identity.hpp"

namespace {

// The running window in this session, brought to the front (restored if minimised); false when
// there is none here (another user's session, or a holder that is no window).
bool ShowRunningWindow() {
  // A holder that has just taken the mark may not have made its window yet.
  for (int i = 0; i < 20; ++i) {
    if (const HWND window = FindWindowA(tarnwick::ui::kWindowClass, nullptr)) {
      if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
      SetForegroundWindow(window);
      return true;
    }
    Sleep(50);
  }
  return false;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  INITCOMMONCONTROLSEX classes{};
  classes.dwSize = sizeof classes;
  classes.dwICC = ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES;
  InitCommonControlsEx(&classes);

  // One window per machine, whatever the session: a second would write its own set-point
  // every second as well.
  const tarnwick::app::SetpointMark mark(tarnwick::app::Holder::kWindow);
  if (!mark.Taken()) {
    const tarnwick::app::MarkReading& refusal = mark.Refusal();
    if (refusal.state == tarnwick::app::MarkReading::State::kHeld &&
        refusal.holder == tarnwick::app::Holder::kWindow && ShowRunningWindow()) {
      return tarnwick::app::RefusalExit(refusal);
    }
    std::string text = tarnwick::app::RefusalText(refusal) + ".";
    if (refusal.state == tarnwick::app::MarkReading::State::kHeld &&
        refusal.holder == tarnwick::app::Holder::kWindow) {
      text =
          "Tarnwick Test is already running in another user's session on this computer, and "
          "only one window may set the board's current. Ask that user to close it, or sign "
          "in to that session.";
    }
    std::fprintf(stderr, "TarnwickTest: %s\n", text.c_str());
    MessageBoxA(nullptr, text.c_str(), "Tarnwick Test", MB_OK | MB_ICONWARNING);
    return tarnwick::app::RefusalExit(refusal);
  }

  tarnwick::ui::MainForm form(tarnwick::platform::SystemOs());
  // Under Wine the state lines reach the terminal, so tests can follow the model.
  tarnwick::app::MainWindow window(form, tarnwick::ui::TraceRequested());
  if (!window.Create(instance, showCommand)) return 1;

  MSG message{};
  for (;;) {
    const BOOL got = GetMessageA(&message, nullptr, 0, 0);
    if (got == 0) break;
    if (got == -1) return 1;
    // The dialog manager gives Tab, Alt+E and the focus rules of a dialog.
    const HWND main = window.Handle();
    if (main != nullptr && IsDialogMessageA(main, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return static_cast<int>(message.wParam);
}

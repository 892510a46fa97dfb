// TarnwickTest.exe: the operator's window on Windows.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <commctrl.h>

#include "main_window.hpp"
#include "platform/os.hpp"
#include "ui/main_form.hpp"
#include "ui/state_json.hpp"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  INITCOMMONCONTROLSEX classes{};
  classes.dwSize = sizeof classes;
  classes.dwICC = ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES;
  InitCommonControlsEx(&classes);

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

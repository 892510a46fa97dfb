#include "main_window.hpp"

#include <commctrl.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "ui/key_codes.hpp"
#include "ui/state_json.hpp"

namespace tarnwick::app {

namespace {

constexpr DWORD kWindowStyle =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr DWORD kWindowExStyle = 0;
constexpr UINT_PTR kPollTimer = 1;
constexpr UINT_PTR kEntrySubclass = 1;
// Away from IDOK and IDCANCEL, which the dialog manager sends for Enter and Esc.
constexpr int kFirstControlId = 100;
constexpr WORD kIconId = 1;

// The per-monitor calls exist only on Windows 10 1607 and later: looked up at run time so the
// program still starts where they are missing.
struct DpiCalls {
  UINT(WINAPI* getDpiForWindow)(HWND) = nullptr;
  UINT(WINAPI* getDpiForSystem)() = nullptr;
  BOOL(WINAPI* adjustWindowRectExForDpi)(LPRECT, DWORD, BOOL, DWORD, UINT) = nullptr;
  BOOL(WINAPI* systemParametersInfoForDpi)(UINT, UINT, PVOID, UINT, UINT) = nullptr;

  DpiCalls() {
    const HMODULE user32 = GetModuleHandleA("user32.dll");
    if (user32 == nullptr) return;
    Find(user32, "GetDpiForWindow", getDpiForWindow);
    Find(user32, "GetDpiForSystem", getDpiForSystem);
    Find(user32, "AdjustWindowRectExForDpi", adjustWindowRectExForDpi);
    Find(user32, "SystemParametersInfoForDpi", systemParametersInfoForDpi);
  }

  template <class Function>
  static void Find(HMODULE module, const char* name, Function& function) {
    // Through void (*)(): the one function type GCC lets stand for any other.
    function = reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(reinterpret_cast<void*>(GetProcAddress(module, name))));
  }
};

const DpiCalls& Dpi() {
  static const DpiCalls calls;
  return calls;
}

UINT ScreenDpi(HWND window) {
  const HDC dc = GetDC(window);
  const int dpi = dc != nullptr ? GetDeviceCaps(dc, LOGPIXELSY) : 0;
  if (dc != nullptr) ReleaseDC(window, dc);
  return dpi > 0 ? static_cast<UINT>(dpi) : USER_DEFAULT_SCREEN_DPI;
}

UINT SystemDpi() {
  if (Dpi().getDpiForSystem != nullptr) return Dpi().getDpiForSystem();
  return ScreenDpi(nullptr);
}

UINT WindowDpi(HWND window) {
  if (Dpi().getDpiForWindow != nullptr) {
    const UINT dpi = Dpi().getDpiForWindow(window);
    if (dpi != 0) return dpi;
  }
  return ScreenDpi(window);
}

int Pixels(int twips, UINT dpi) {
  return ui::TwipsToPixels(twips, static_cast<int>(dpi));
}

// The system's message font at a DPI. SystemParametersInfoForDpi has only a wide form, so the
// font is read and made through the wide calls; everything with text uses the narrow ones.
HFONT CreateMessageFont(UINT dpi) {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  bool found = Dpi().systemParametersInfoForDpi != nullptr &&
               Dpi().systemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics,
                                                0, dpi) != FALSE;
  if (!found) {
    found = SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0) != FALSE;
    // Without the per-DPI call the metrics are those of the system DPI.
    if (found) {
      metrics.lfMessageFont.lfHeight = MulDiv(metrics.lfMessageFont.lfHeight, static_cast<int>(dpi),
                                              static_cast<int>(SystemDpi()));
    }
  }
  if (!found) return nullptr;
  return CreateFontIndirectW(&metrics.lfMessageFont);
}

std::string NativeText(HWND control) {
  const int length = GetWindowTextLengthA(control);
  if (length <= 0) return {};
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  const int copied = GetWindowTextA(control, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(copied > 0 ? copied : 0));
  return text;
}

// The model's colours are those of a COLORREF, or a system colour index with the top bit set.
COLORREF NativeColour(std::uint32_t colour) {
  if ((colour & 0x80000000u) != 0) return GetSysColor(static_cast<int>(colour & 0xFFu));
  return static_cast<COLORREF>(colour);
}

// The shift argument of a key-down: 1 for Shift, 2 for Ctrl, 4 for Alt.
int ShiftState() {
  int shift = 0;
  if (GetKeyState(VK_SHIFT) < 0) shift |= 1;
  if (GetKeyState(VK_CONTROL) < 0) shift |= 2;
  if (GetKeyState(VK_MENU) < 0) shift |= 4;
  return shift;
}

}  // namespace

MainWindow::MainWindow(ui::MainForm& form, bool trace)
    : form_(form), trace_(trace), tooltipText_(ui::kSetpointTooltip) {
  form_.OnExit([this] {
    if (window_ != nullptr) DestroyWindow(window_);
  });
  form_.OnFailure([this](const char* message) { Fail(message); });
}

MainWindow::~MainWindow() {
  if (window_ != nullptr) DestroyWindow(window_);
  if (font_ != nullptr) DeleteObject(font_);
}

bool MainWindow::Create(HINSTANCE instance, int showCommand) {
  WNDCLASSEXA windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(kIconId));
  windowClass.hIconSm = static_cast<HICON>(
      LoadImageA(instance, MAKEINTRESOURCEA(kIconId), IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                 GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
  windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // the arrow
  windowClass.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
  windowClass.lpszClassName = ui::kWindowClass;
  if (RegisterClassExA(&windowClass) == 0) return false;

  // Sized for the system DPI first, then again for the DPI of the monitor it landed on.
  const RECT first = WindowRectFor(SystemDpi());
  if (CreateWindowExA(kWindowExStyle, ui::kWindowClass, ui::kWindowCaption, kWindowStyle,
                      CW_USEDEFAULT, CW_USEDEFAULT, first.right - first.left,
                      first.bottom - first.top, nullptr, nullptr, instance, this) == nullptr) {
    return false;
  }
  dpi_ = WindowDpi(window_);
  const RECT sized = WindowRectFor(dpi_);
  SetWindowPos(window_, nullptr, 0, 0, sized.right - sized.left, sized.bottom - sized.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);

  CreateControls(instance);
  for (const HWND control : controls_) {
    if (control == nullptr) return false;
  }
  CreateTooltip(instance);
  ApplyDpi(dpi_);
  // The caret starts at the end of the text, as the model has it.
  const auto end = static_cast<WPARAM>(form_.txtCurrent.Text().size());
  SendMessageA(Control(ui::kSetpointEntry), EM_SETSEL, end, static_cast<LPARAM>(end));

  Raise([this] { form_.Form_Load(); });
  if (window_ == nullptr) return false;
  SetTimer(window_, kPollTimer, static_cast<UINT>(form_.tmrSNInterval), nullptr);

  ShowWindow(window_, showCommand);
  UpdateWindow(window_);
  SetFocus(Control(ui::kSetpointEntry));
  return true;
}

void MainWindow::CreateControls(HINSTANCE instance) {
  // Created in tab order, which makes it the window order the dialog manager's Tab follows.
  for (const ui::ControlIndex index : ui::kTabOrder) {
    const ui::ControlLayout& layout = ui::kLayout[index];
    const char* windowClass = "STATIC";
    // The serial-number label overlaps the entry and Exit: siblings clip each other, so each
    // control's own border shows where its geometry puts it.
    DWORD style = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
    DWORD exStyle = 0;
    std::string text;
    switch (layout.kind) {
      case ui::ControlKind::Label:
        style |= SS_LEFT | SS_NOPREFIX;  // status texts are data, never mnemonics
        text = index == ui::kSerialLabel ? form_.lblSerNum.caption : form_.lblMv.caption;
        break;
      case ui::ControlKind::TextEntry:
        windowClass = "EDIT";
        style |= WS_TABSTOP | ES_LEFT | ES_AUTOHSCROLL;
        exStyle = WS_EX_CLIENTEDGE;
        text = form_.txtCurrent.Text();
        break;
      case ui::ControlKind::Button:
        windowClass = "BUTTON";
        style |= WS_TABSTOP | BS_PUSHBUTTON;
        text = form_.cmdExitCaption;
        break;
    }
    // At their final places: an entry made zero-wide scrolls its text out of sight.
    controls_[index] = CreateWindowExA(
        exStyle, windowClass, text.c_str(), style, Pixels(layout.left, dpi_),
        Pixels(layout.top, dpi_), Pixels(layout.width, dpi_), Pixels(layout.height, dpi_), window_,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFirstControlId + static_cast<int>(index))),
        instance, nullptr);
  }
  const HWND entry = Control(ui::kSetpointEntry);
  SetWindowSubclass(entry, EntryProc, kEntrySubclass, reinterpret_cast<DWORD_PTR>(this));
  shownColour_ = form_.txtCurrent.Colour();
  focus_ = entry;
}

void MainWindow::CreateTooltip(HINSTANCE instance) {
  tooltip_ = CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr,
                             WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                             CW_USEDEFAULT, CW_USEDEFAULT, window_, nullptr, instance, nullptr);
  if (tooltip_ == nullptr) return;
  TTTOOLINFOA tool{};
  // The size without the last field: what common controls 5 and 6 both accept.
  tool.cbSize = static_cast<UINT>(offsetof(TTTOOLINFOA, lpReserved));
  tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  tool.hwnd = window_;
  tool.uId = reinterpret_cast<UINT_PTR>(Control(ui::kSetpointEntry));
  tool.lpszText = tooltipText_.data();
  SendMessageA(tooltip_, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
}

RECT MainWindow::WindowRectFor(UINT dpi) const {
  RECT rect{0, 0, Pixels(ui::kClientWidthTwips, dpi), Pixels(ui::kClientHeightTwips, dpi)};
  if (Dpi().adjustWindowRectExForDpi != nullptr) {
    Dpi().adjustWindowRectExForDpi(&rect, kWindowStyle, FALSE, kWindowExStyle, dpi);
  } else {
    AdjustWindowRectEx(&rect, kWindowStyle, FALSE, kWindowExStyle);
  }
  return rect;
}

void MainWindow::ApplyDpi(UINT dpi) {
  dpi_ = dpi;
  for (std::size_t index = 0; index < ui::kLayout.size(); ++index) {
    const ui::ControlLayout& layout = ui::kLayout[index];
    SetWindowPos(controls_[index], nullptr, Pixels(layout.left, dpi), Pixels(layout.top, dpi),
                 Pixels(layout.width, dpi), Pixels(layout.height, dpi),
                 SWP_NOZORDER | SWP_NOACTIVATE);
  }
  const HFONT font = CreateMessageFont(dpi);
  if (font == nullptr) return;  // the controls keep the font they have
  for (const HWND control : controls_) {
    SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  }
  if (font_ != nullptr) DeleteObject(font_);
  font_ = font;
}

template <class Handler>
void MainWindow::Raise(Handler&& handler) {
  // Nothing unwinds through the system's frames that called us: a failure ends in Fail.
  form_.RunEvent([&] {
    handler();
    if (window_ != nullptr) Sync();
    if (trace_) ui::PrintState(form_);
  });
}

void MainWindow::Sync() {
  const HWND serial = Control(ui::kSerialLabel);
  if (NativeText(serial) != form_.lblSerNum.caption) {
    SetWindowTextA(serial, form_.lblSerNum.caption.c_str());
  }
  const HWND milliamps = Control(ui::kMilliampLabel);
  if (NativeText(milliamps) != form_.lblMv.caption) {
    SetWindowTextA(milliamps, form_.lblMv.caption.c_str());
  }

  const HWND entry = Control(ui::kSetpointEntry);
  const std::string& text = form_.txtCurrent.Text();
  if (NativeText(entry) != text) {
    settingEntryText_ = true;
    SetWindowTextA(entry, text.c_str());
    settingEntryText_ = false;
    // The program replaced the text: typing goes on at its end.
    const auto end = static_cast<WPARAM>(text.size());
    SendMessageA(entry, EM_SETSEL, end, static_cast<LPARAM>(end));
    SendMessageA(entry, EM_SCROLLCARET, 0, 0);
  }
  if (form_.txtCurrent.Colour() != shownColour_) {
    shownColour_ = form_.txtCurrent.Colour();
    InvalidateRect(entry, nullptr, TRUE);
  }
}

void MainWindow::Fail(const char* message) {
  failed_ = true;
  // The timer first: no poll may run while the message box's own loop does.
  if (window_ != nullptr) KillTimer(window_, kPollTimer);
  MessageBoxA(window_, message, ui::kWindowCaption, MB_OK | MB_ICONERROR);
  if (window_ != nullptr) DestroyWindow(window_);
}

LRESULT CALLBACK MainWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (message == WM_NCCREATE) {
    self = static_cast<MainWindow*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
    self->window_ = window;
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  if (self == nullptr) return DefWindowProcA(window, message, wParam, lParam);
  const LRESULT result = self->OnMessage(message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    self->window_ = nullptr;
  }
  return result;
}

LRESULT MainWindow::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      OnCommand(wParam, lParam);
      return 0;

    case WM_TIMER:
      if (wParam == kPollTimer) {
        Raise([this] { form_.tmrSN_Timer(); });
        return 0;
      }
      break;

    case WM_CTLCOLOREDIT:
      if (reinterpret_cast<HWND>(lParam) == Control(ui::kSetpointEntry)) {
        const LRESULT brush = DefWindowProcA(window_, message, wParam, lParam);
        SetTextColor(reinterpret_cast<HDC>(wParam), NativeColour(form_.txtCurrent.Colour()));
        return brush;
      }
      break;

    case WM_ACTIVATE:
      // Keep the focused control across deactivation, as a dialog does.
      if (LOWORD(wParam) == WA_INACTIVE) {
        const HWND focus = GetFocus();
        if (focus != nullptr && IsChild(window_, focus)) focus_ = focus;
      } else if (focus_ != nullptr) {
        SetFocus(focus_);
        return 0;
      }
      break;

    case WM_SETFOCUS:
      if (focus_ != nullptr) SetFocus(focus_);
      return 0;

    case WM_GETDPISCALEDSIZE: {
      // The client area keeps its size in twips: tell Windows the exact size at the new DPI.
      const RECT rect = WindowRectFor(static_cast<UINT>(wParam));
      auto* size = reinterpret_cast<SIZE*>(lParam);
      size->cx = rect.right - rect.left;
      size->cy = rect.bottom - rect.top;
      return TRUE;
    }

    case WM_DPICHANGED: {
      const UINT dpi = HIWORD(wParam);
      const auto* suggested = reinterpret_cast<const RECT*>(lParam);
      const RECT rect = WindowRectFor(dpi);
      SetWindowPos(window_, nullptr, suggested->left, suggested->top, rect.right - rect.left,
                   rect.bottom - rect.top, SWP_NOZORDER | SWP_NOACTIVATE);
      ApplyDpi(dpi);
      return 0;
    }

    case WM_SETTINGCHANGE:
      if (wParam == SPI_SETNONCLIENTMETRICS) ApplyDpi(dpi_);  // the message font may differ
      break;

    case WM_SYSCOMMAND:
      // Alt or F10 alone would put the window into menu mode, where the keys that follow
      // reach no control: the window has no menu to open. Alt+Space still opens the system
      // menu.
      if ((wParam & 0xFFF0) == SC_KEYMENU && lParam == 0) return 0;
      break;

    case WM_DESTROY:
      KillTimer(window_, kPollTimer);
      PostQuitMessage(failed_ ? ui::kFailureExitCode : 0);
      return 0;

    default:
      break;
  }
  return DefWindowProcA(window_, message, wParam, lParam);
}

void MainWindow::OnCommand(WPARAM wParam, LPARAM lParam) {
  const auto from = reinterpret_cast<HWND>(lParam);
  const HWND entry = Control(ui::kSetpointEntry);
  const HWND exit = Control(ui::kExitButton);
  if (from != nullptr && from == entry && HIWORD(wParam) == EN_CHANGE) {
    if (settingEntryText_) return;
    const std::string text = NativeText(entry);
    DWORD start = 0;
    DWORD end = 0;
    SendMessageA(entry, EM_GETSEL, reinterpret_cast<WPARAM>(&start),
                 reinterpret_cast<LPARAM>(&end));
    Raise([this, &text, end] { form_.txtCurrent.Edit(text, end); });
    return;
  }
  // Enter on the focused Exit button arrives as IDOK from the dialog manager.
  const bool exitPressed = (from != nullptr && from == exit && HIWORD(wParam) == BN_CLICKED) ||
                           (LOWORD(wParam) == IDOK && GetFocus() == exit);
  if (exitPressed) Raise([this] { form_.cmdExit_Click(); });
  // IDCANCEL (Esc) is ignored: the window has no Cancel button, and Exit is a deliberate act.
}

LRESULT CALLBACK MainWindow::EntryProc(HWND entry, UINT message, WPARAM wParam, LPARAM lParam,
                                       UINT_PTR, DWORD_PTR self) {
  if (message == WM_NCDESTROY) {
    RemoveWindowSubclass(entry, EntryProc, kEntrySubclass);
    return DefSubclassProc(entry, message, wParam, lParam);
  }
  return reinterpret_cast<MainWindow*>(self)->OnEntryMessage(message, wParam, lParam);
}

LRESULT MainWindow::OnEntryMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  const HWND entry = Control(ui::kSetpointEntry);
  switch (message) {
    case WM_GETDLGCODE: {
      // Arrows and page keys are the entry's own; Enter and Esc reach its key-down too, as
      // they would in a window without default or cancel buttons.
      LRESULT code = DefSubclassProc(entry, message, wParam, lParam) | DLGC_WANTARROWS;
      const auto* pending = reinterpret_cast<const MSG*>(lParam);
      if (pending != nullptr && pending->message == WM_KEYDOWN &&
          (pending->wParam == VK_RETURN || pending->wParam == VK_ESCAPE)) {
        code |= DLGC_WANTMESSAGE;
      }
      return code;
    }

    case WM_KEYDOWN:
    case WM_SYSKEYDOWN: {  // Alt, F10 and keys held with Alt: keys like any other to the model
      // The model sees the key first; the edit's own handling of it follows.
      const auto key = static_cast<std::uint16_t>(wParam);
      Raise([this, key] { form_.txtCurrent_KeyDown(key, ShiftState()); });
      if (window_ == nullptr) return 0;
      // A single-line edit takes Up and Down for Left and Right: after a step the caret must
      // stay at the end of the new text, where typing goes on.
      if (ui::IsStepKey(key)) return 0;
      break;
    }

    case WM_CHAR:
      // A single-line edit only beeps at these.
      if (wParam == '\r' || wParam == '\n' || wParam == 0x1B) return 0;
      break;

    default:
      break;
  }
  return DefSubclassProc(entry, message, wParam, lParam);
}

}  // namespace tarnwick::app

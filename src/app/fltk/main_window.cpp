#include "main_window.hpp"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Menu_Item.H>
#include <FL/fl_ask.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <string>
#include <utility>

#include "control/serial_poll.hpp"
#include "control/setpoint_write.hpp"
#include "fltk_keys.hpp"
#include "link/controller_link.hpp"
#include "ui/controls.hpp"
#include "ui/key_codes.hpp"
#include "ui/state_json.hpp"

namespace tarnwick::app {

namespace {

constexpr int kFallbackDpi = 96;
constexpr long kDpiStep = 24;
// FLTK draws a left-aligned label 3 pixels in from each side of its box.
constexpr int kLabelInset = 3;
constexpr int kSmallestFontSize = 6;

double Seconds(int milliseconds) {
  return milliseconds / 1000.0;
}

}  // namespace

// The entry: the model's key-down runs before the key's own effect, and every native change of
// the text is reported once the event is done.
class SetpointInput final : public Fl_Input {
 public:
  SetpointInput(int x, int y, int w, int h) : Fl_Input(x, y, w, h) {}

  std::function<void(std::uint16_t, int)> onKeyDown;
  std::function<void()> afterEvent;

  int handle(int event) override {
    // Every key reaches key-down, Alt and the keys held with it included (Alt+E then presses
    // Exit as a shortcut); only Tab, which moves the focus as on Windows, does not.
    if (event == FL_KEYBOARD && Fl::event_key() != FL_Tab) {
      const int key = Fl::event_key();
      const std::uint16_t code = fltk::VirtualKeyCode(key);
      onKeyDown(code, fltk::KeyDownShift(key, Fl::event_state()));
      // FLTK would take these keys for focus moves; in a one-line entry they do nothing else.
      if (ui::IsStepKey(code)) return 1;
    }
    // Before FLTK's own handling, which would move the caret and drop the selection the menu's
    // items act on.
    if (event == FL_PUSH && Fl::event_button() == FL_RIGHT_MOUSE) {
      ShowContextMenu();
      // The menu took the button's release: without this FLTK would go on taking the entry for
      // the pushed widget and hand it later pointer moves as drags, which select text.
      Fl::pushed(nullptr);
      afterEvent();
      return 1;
    }
    const int handled = Fl_Input::handle(event);
    afterEvent();
    return handled;
  }

  std::string Text() const { return std::string(value(), static_cast<std::size_t>(size())); }

 private:
  // The items of a Windows edit's menu. None is a key, so none reaches key-down: a pasted text
  // shows grey until the next key or poll writes it, as on Windows.
  void ShowContextMenu() {
    if (Fl::focus() != this) take_focus();
    const int start = std::min(position(), mark());
    const int end = std::max(position(), mark());
    const int selected = start != end ? 0 : FL_MENU_INACTIVE;
    const int pastable = Fl::clipboard_contains(Fl::clipboard_plain_text) ? 0 : FL_MENU_INACTIVE;
    const int all = start == 0 && end == size() ? FL_MENU_INACTIVE : 0;
    enum Item { kUndo, kCut, kCopy, kPaste, kDelete, kSelectAll };
    // In the entry's font size, which follows the display's DPI.
    const auto item = [size = textsize()](const char* label, int flags) {
      Fl_Menu_Item made{};
      made.text = label;
      made.flags = flags;
      made.labelsize_ = size;
      return made;
    };
    const Fl_Menu_Item items[] = {item("&Undo", FL_MENU_DIVIDER),
                                  item("Cu&t", selected),
                                  item("&Copy", selected),
                                  item("&Paste", pastable),
                                  item("&Delete", selected | FL_MENU_DIVIDER),
                                  item("Select &All", all),
                                  item(nullptr, 0)};
    const Fl_Menu_Item* chosen = items[0].popup(Fl::event_x(), Fl::event_y());
    if (chosen == nullptr) return;
    switch (chosen - items) {
      case kUndo:
        undo();
        break;
      case kCut:
        copy(1);
        cut();
        break;
      case kCopy:
        copy(1);
        break;
      case kPaste:
        // The text arrives as an FL_PASTE event (at once when this program owns the clipboard),
        // which handle() reports like typing.
        Fl::paste(*this, 1);
        break;
      case kDelete:
        cut();
        break;
      case kSelectAll:
        position(size(), 0);  // the caret at the end, as Windows leaves it
        break;
      default:
        break;
    }
  }
};

// Exit as a Windows push button: Enter, like Space, presses it while it has the focus.
class ExitButton final : public Fl_Button {
 public:
  ExitButton(int x, int y, int w, int h) : Fl_Button(x, y, w, h) {}

  int handle(int event) override {
    const int key = Fl::event_key();
    if (event == FL_KEYBOARD && Fl::focus() == this && (key == FL_Enter || key == FL_KP_Enter) &&
        (Fl::event_state() & (FL_SHIFT | FL_CTRL | FL_ALT | FL_META)) == 0) {
      do_callback();
      return 1;
    }
    return Fl_Button::handle(event);
  }
};

namespace {

int ScreenDpi() {
  float horizontal = 0;
  float vertical = 0;
  Fl::screen_dpi(horizontal, vertical);
  // A display that reports no physical size gives 0 (or nonsense); Windows' default then.
  if (!(horizontal >= 1.0f && horizontal < 10000.0f)) return kFallbackDpi;
  // The DPI comes from the screen's size in whole millimetres, so it is off by a little (Xvfb's
  // 192 reads as 192.7): taken to Windows' scaling steps of 25 %, never below 100 %.
  const long steps = std::lround(horizontal / kDpiStep);
  return static_cast<int>(std::max(steps * kDpiStep, static_cast<long>(kFallbackDpi)));
}

// The form's font: Windows' 8-point dialog size, made smaller until the longest lines the
// serial-number label shows fit on one line of it.
int FontSize(int dpi, int labelWidth) {
  const std::string longest[] = {link::kNoControllerText,
                                 control::SerialLine(std::numeric_limits<std::uint32_t>::max())};
  int size = (8 * dpi + 36) / 72;
  for (; size > kSmallestFontSize; --size) {
    fl_font(FL_HELVETICA, size);
    bool fits = true;
    for (const std::string& line : longest) {
      fits = fits && fl_width(line.c_str()) <= labelWidth - 2 * kLabelInset;
    }
    if (fits) break;
  }
  return size;
}

// FLTK reads '@' in a label as the start of a drawn symbol; "@@" shows one '@'.
std::string LabelText(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    shown += c;
    if (c == '@') shown += '@';
  }
  return shown;
}

// The letter after a single '&' in a Windows caption, lower-case; 0 when there is none.
int AccessKey(const std::string& caption) {
  for (std::size_t i = 0; i + 1 < caption.size(); ++i) {
    if (caption[i] != '&') continue;
    if (caption[i + 1] == '&') {
      ++i;
      continue;
    }
    return std::tolower(static_cast<unsigned char>(caption[i + 1]));
  }
  return 0;
}

// Windows colours as the model stores them: a COLORREF (0x00BBGGRR) or a system colour.
Fl_Color TextColour(std::uint32_t colour) {
  if (colour == control::kColourGrey) return fl_inactive(FL_FOREGROUND_COLOR);
  if ((colour & 0x80000000u) != 0) return FL_FOREGROUND_COLOR;  // other system colours
  return fl_rgb_color(static_cast<uchar>(colour & 0xFF), static_cast<uchar>((colour >> 8) & 0xFF),
                      static_cast<uchar>((colour >> 16) & 0xFF));
}

void SetCaption(Fl_Widget& widget, const std::string& caption) {
  const std::string shown = LabelText(caption);
  const char* current = widget.label();
  if (shown == (current != nullptr ? current : "")) return;
  widget.copy_label(shown.c_str());  // also repaints the label's background
}

}  // namespace

// Every event goes to the model, then the widgets show what the model holds.
template <typename Handler>
void MainWindow::Raise(Handler&& handler) {
  form_.RunEvent([&] {
    std::forward<Handler>(handler)();
    Sync();
    if (trace_) ui::PrintState(form_);
  });
}

MainWindow::MainWindow(ui::MainForm& form) : form_(form) {
  trace_ = ui::TraceRequested();
  dpi_ = ScreenDpi();
  Build();
  form_.OnFailure([this](const char* message) { Fail(message); });
}

int MainWindow::Run() {
  Raise([this] { form_.Form_Load(); });
  if (form_.Stopped()) return ui::kFailureExitCode;
  window_->show();
  Fl::add_timeout(Seconds(form_.tmrSNInterval), OnTimer, this);
  const int result = Fl::run();
  Fl::remove_timeout(OnTimer, this);
  return form_.Stopped() ? ui::kFailureExitCode : result;
}

void MainWindow::Build() {
  window_ = std::make_unique<Fl_Window>(Pixels(ui::kClientWidthTwips),
                                        Pixels(ui::kClientHeightTwips), ui::kWindowCaption);
  window_->size_range(window_->w(), window_->h(), window_->w(), window_->h());
  window_->callback(OnWindowCallback, this);
  const int fontSize = FontSize(dpi_, Pixels(ui::kLayout[ui::kSerialLabel].width));

  // Made in the layout's tab order, which FLTK's Tab follows (labels take no focus). The
  // labels draw no box, so where the serial-number label overlaps the entry and Exit their
  // borders still show.
  for (const ui::ControlIndex index : ui::kTabOrder) AddControl(index, fontSize);
  window_->end();
  form_.OnExit([this] { window_->hide(); });
  entry_->take_focus();
}

void MainWindow::AddControl(std::size_t index, int fontSize) {
  const ui::ControlLayout& layout = ui::kLayout[index];
  const int x = Pixels(layout.left);
  const int y = Pixels(layout.top);
  const int w = Pixels(layout.width);
  const int h = Pixels(layout.height);
  switch (layout.kind) {
    case ui::ControlKind::Label: {
      auto* label = new Fl_Box(x, y, w, h);
      label->box(FL_NO_BOX);
      label->align(FL_ALIGN_INSIDE | FL_ALIGN_TOP_LEFT | FL_ALIGN_WRAP | FL_ALIGN_CLIP);
      label->labelsize(fontSize);
      label->clear_visible_focus();
      label->copy_label(LabelText(layout.text).c_str());
      (index == ui::kSerialLabel ? serial_ : milliamps_) = label;
      break;
    }
    case ui::ControlKind::TextEntry:
      entry_ = new SetpointInput(x, y, w, h);
      entry_->textsize(fontSize);
      entry_->tooltip(ui::kSetpointTooltip);
      entry_->when(FL_WHEN_NEVER);  // changes are read back after each event instead
      entry_->value(layout.text);
      entry_->onKeyDown = [this](std::uint16_t code, int shift) {
        Raise([this, code, shift] { form_.txtCurrent_KeyDown(code, shift); });
      };
      entry_->afterEvent = [this] { EntryEventDone(); };
      break;
    case ui::ControlKind::Button:
      exit_ = new ExitButton(x, y, w, h);
      exit_->labelsize(fontSize);
      exit_->callback(OnExitButton, this);
      break;
  }
}

void MainWindow::Fail(const char* message) {
  Fl::remove_timeout(OnTimer, this);
  std::fprintf(stderr, "%s\n", message);
  window_->hide();
  fl_message_title(ui::kWindowCaption);
  fl_alert("%s", message);
}

void MainWindow::Sync() {
  SetCaption(*serial_, form_.lblSerNum.caption);
  SetCaption(*milliamps_, form_.lblMv.caption);
  SetCaption(*exit_, form_.cmdExitCaption);
  const int accessKey = AccessKey(form_.cmdExitCaption);
  exit_->shortcut(accessKey != 0 ? FL_ALT | accessKey : 0);

  // Fl_Input::value() counts as a change even for the same text, so compare first.
  const std::string& text = form_.txtCurrent.Text();
  if (entry_->Text() != text) {
    entry_->value(text.data(), static_cast<int>(text.size()));
    const int caret = static_cast<int>(form_.txtCurrent.Caret());
    entry_->position(caret, caret);
  }
  const Fl_Color colour = TextColour(form_.txtCurrent.Colour());
  if (entry_->textcolor() != colour) {
    entry_->textcolor(colour);
    entry_->redraw();
  }
}

void MainWindow::EntryEventDone() {
  std::string text = entry_->Text();
  if (text == form_.txtCurrent.Text()) return;
  const auto caret = static_cast<std::size_t>(entry_->position());
  Raise([this, &text, caret] { form_.txtCurrent.Edit(text, caret); });
}

void MainWindow::OnTimer(void* data) {
  auto* self = static_cast<MainWindow*>(data);
  self->Raise([self] { self->form_.tmrSN_Timer(); });
  if (!self->form_.Stopped()) {
    Fl::repeat_timeout(Seconds(self->form_.tmrSNInterval), OnTimer, data);
  }
}

void MainWindow::OnExitButton(Fl_Widget*, void* data) {
  auto* self = static_cast<MainWindow*>(data);
  self->Raise([self] { self->form_.cmdExit_Click(); });
}

void MainWindow::OnWindowCallback(Fl_Widget* window, void*) {
  // FLTK closes a window on Escape; a Windows form does not.
  if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape) return;
  window->hide();
}

}  // namespace tarnwick::app

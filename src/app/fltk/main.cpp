// tarnwick-test for Linux: program start. The window (main_window.cpp) shows the window model
// (ui::MainForm) with FLTK 1.3; this file answers --version and --help, takes the mark of the
// one window per registry and runs the window.

#include <FL/Fl.H>
#include <FL/fl_ask.H>
#include <FL/x.H>  // fl_open_display

#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "main_window.hpp"
#include "mark/setpoint_mark.hpp"
#include "platform/os.hpp"
#include "ui/main_form.hpp"

namespace {

using namespace tarnwick;

constexpr char kUsage[] =
    "Usage: tarnwick-test\n"
    "The Tarnwick Test window: sets the current-driver board's output and shows the USB I/O\n"
    "controller's serial number. On Linux the controller is the simulated one: start\n"
    "tarnwick-sim first.\n"
    "\n"
    "  --version   print the version and exit\n"
    "  --help      print this help and exit\n"
    "\n"
    "One window per registry (per controller): beside a running window or script driver it\n"
    "says so and exits with status 3; with a window mark it cannot trust, with status 4.\n";

int refusalExit = 0;

// A message as a dialog shows it: a capital, a full stop, lines of at most 72 characters
// (FLTK's dialog does not wrap).
std::string DialogText(std::string text) {
  if (!text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  text += '.';
  std::size_t lineStart = 0;
  for (std::size_t space = text.find(' '); space != std::string::npos;) {
    const std::size_t next = text.find(' ', space + 1);
    const std::size_t end = next == std::string::npos ? text.size() : next;
    if (end - lineStart > 72) {
      text[space] = '\n';
      lineStart = space + 1;
    }
    space = next;
  }
  return text;
}

// FLTK's end when the display does not open: the refusal's own status, not FLTK's 1.
[[noreturn]] void EndRefused(const char*, ...) {
  std::_Exit(refusalExit);
}

}  // namespace

int main(int argc, char** argv) {
  // The window itself takes no arguments; these two answer without opening a display.
  if (argc == 2 && std::string_view(argv[1]) == "--version") {
    std::puts("tarnwick-test " TARNWICK_VERSION);
    return 0;
  }
  if (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc > 1) {
    std::fprintf(stderr, "tarnwick-test: unknown argument '%s'\n%s", argv[1], kUsage);
    return 2;
  }
  // One window per machine: a second would write its own set-point every second as well.
  const app::SetpointMark mark(app::Holder::kWindow);
  if (!mark.Taken()) {
    const std::string text = app::RefusalText(mark.Refusal());
    std::fprintf(stderr, "tarnwick-test: %s\n", text.c_str());
    refusalExit = app::RefusalExit(mark.Refusal());
    Fl::fatal = EndRefused;  // no display for the dialog: stderr has said it all
    fl_message_title("Tarnwick Test");
    fl_alert("%s", DialogText(text).c_str());
    return refusalExit;
  }
  ui::MainForm form(platform::SystemOs());
  fl_open_display();  // the screen's DPI and the font's metrics are needed to lay out
  app::MainWindow window(form);
  return window.Run();
}

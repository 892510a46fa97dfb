// tarnwick-script: the window without a display. Reads one event per line on stdin and prints
// the window's state as one JSON line after each (and once after start-up), so the whole
// program can be driven end to end by tests and tools.
//
//   key N        key-down with virtual-key code N, no effect on the text
//   char C       key-down for C, then C inserted at the caret
//   backspace    key-down for Backspace, then the character before the caret removed
//   paste TEXT   the whole text replaced at once (no key-down), caret at the end
//   tick         one timer event
//   exit         the Exit button; the program ends
//
// A failure escaping a handler (only memory exhaustion can) prints one message on stderr and
// ends the program with status 1, as the windows do. Like a window it does not start beside
// another window or script driver on the same registry (status 3), nor when its mark cannot be
// trusted (status 4); it then says why on stderr and writes nothing.
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>
#include <string_view>

#include "mark/setpoint_mark.hpp"
#include "platform/os.hpp"
#include "text/json_string.hpp"
#include "ui/key_codes.hpp"
#include "ui/main_form.hpp"
#include "ui/state_json.hpp"

namespace {

using namespace tarnwick::ui;

// The virtual-key code a key for this character sends; 0 for one the handler never steps on.
std::uint16_t KeyCodeFor(char c) {
  switch (c) {
    case ' ':
      return kKeySpace;
    case '.':
      return kKeyPeriod;
    case '-':
      return kKeyMinus;
    case '+':
      return kKeyEquals;
    case ',':
      return kKeyComma;
    default:
      return LetterOrDigitKey(c);
  }
}

// One event: the handler, then the state line.
template <class Handler>
void Raise(MainForm& form, Handler&& handler) {
  form.RunEvent([&] {
    handler();
    PrintState(form);
  });
}

bool IsKeyCode(const std::string& text) {
  return !text.empty() && text.size() <= 5 &&
         text.find_first_not_of("0123456789") == std::string::npos && std::stoul(text) <= 0xFFFF;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string_view(argv[1]) == "--version") {
    std::puts("tarnwick-script " TARNWICK_VERSION);
    return 0;
  }
  if (argc > 1) {
    std::fprintf(stderr, "usage: tarnwick-script [--version]   (events on standard input)\n");
    return 2;
  }
  // It re-writes every tick, as a window does: one such program per machine.
  const tarnwick::app::SetpointMark mark(tarnwick::app::Holder::kScriptDriver);
  if (!mark.Taken()) {
    std::fprintf(stderr, "tarnwick-script: %s\n",
                 tarnwick::app::RefusalText(mark.Refusal()).c_str());
    return tarnwick::app::RefusalExit(mark.Refusal());
  }
  MainForm form(tarnwick::platform::SystemOs());
  // No timer to stop here: the message goes to standard error and the program ends.
  form.OnFailure([](const char* message) { std::fprintf(stderr, "%s\n", message); });
  Raise(form, [&] { form.Form_Load(); });

  std::string line;
  while (!form.ExitRequested() && !form.Stopped()) {
    // Reading an event can run out of memory too: the same policy holds for it.
    bool read = false;
    form.RunEvent([&] { read = static_cast<bool>(std::getline(std::cin, line)); });
    if (!read) break;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t space = line.find(' ');
    const std::string event = line.substr(0, space);
    const std::string argument = space == std::string::npos ? "" : line.substr(space + 1);
    if (event == "key" && IsKeyCode(argument)) {
      Raise(form,
            [&] { form.txtCurrent_KeyDown(static_cast<std::uint16_t>(std::stoul(argument)), 0); });
    } else if (event == "char" && argument.size() == 1) {
      Raise(form, [&] {
        form.txtCurrent_KeyDown(KeyCodeFor(argument[0]), 0);
        form.txtCurrent.Insert(argument[0]);
      });
    } else if (event == "backspace" && argument.empty()) {
      Raise(form, [&] {
        form.txtCurrent_KeyDown(kKeyBackspace, 0);
        form.txtCurrent.Backspace();
      });
    } else if (event == "paste") {
      Raise(form, [&] { form.txtCurrent.Edit(argument, argument.size()); });
    } else if (event == "tick" && argument.empty()) {
      Raise(form, [&] { form.tmrSN_Timer(); });
    } else if (event == "exit" && argument.empty()) {
      Raise(form, [&] { form.cmdExit_Click(); });
    } else {
      // Still one line per event, so a reader never falls out of step.
      std::printf("{\"error\":%s}\n", tarnwick::text::JsonString("unknown event: " + line).c_str());
      std::fflush(stdout);
    }
  }
  return form.Stopped() ? kFailureExitCode : 0;
}

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
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>

#include "platform/os.hpp"
#include "ui/main_form.hpp"
#include "ui/state_json.hpp"

namespace {

// The virtual-key code a key for this character sends; 0 for one the handler never steps on.
std::uint16_t KeyCodeFor(char c) {
  if (c >= '0' && c <= '9') return static_cast<std::uint16_t>(c);
  if (c >= 'a' && c <= 'z') return static_cast<std::uint16_t>(c - 'a' + 'A');
  if (c >= 'A' && c <= 'Z') return static_cast<std::uint16_t>(c);
  switch (c) {
    case ' ':
      return 32;
    case '.':
      return 190;
    case '-':
      return 189;
    case '+':
      return 187;
    case ',':
      return 188;
    default:
      return 0;
  }
}

constexpr std::uint16_t kKeyBackspace = 8;

}  // namespace

int main() {
  using tarnwick::ui::StateJson;
  tarnwick::ui::MainForm form(tarnwick::platform::SystemOs());
  form.Form_Load();
  std::printf("%s\n", StateJson(form).c_str());
  std::fflush(stdout);

  std::string line;
  while (!form.ExitRequested() && std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t space = line.find(' ');
    const std::string event = line.substr(0, space);
    const std::string argument = space == std::string::npos ? "" : line.substr(space + 1);
    if (event == "key" && !argument.empty() &&
        argument.find_first_not_of("0123456789") == std::string::npos && argument.size() <= 5 &&
        std::stoul(argument) <= 0xFFFF) {
      form.txtCurrent_KeyDown(static_cast<std::uint16_t>(std::stoul(argument)), 0);
    } else if (event == "char" && argument.size() == 1) {
      form.txtCurrent_KeyDown(KeyCodeFor(argument[0]), 0);
      form.txtCurrent.Insert(argument[0]);
    } else if (event == "backspace" && argument.empty()) {
      form.txtCurrent_KeyDown(kKeyBackspace, 0);
      form.txtCurrent.Backspace();
    } else if (event == "paste") {
      form.txtCurrent.Edit(argument, argument.size());
    } else if (event == "tick" && argument.empty()) {
      form.tmrSN_Timer();
    } else if (event == "exit" && argument.empty()) {
      form.cmdExit_Click();
    } else {
      // Still one line per event, so a reader never falls out of step.
      std::printf("{\"error\":%s}\n", tarnwick::ui::JsonString("unknown event: " + line).c_str());
      std::fflush(stdout);
      continue;
    }
    std::printf("%s\n", StateJson(form).c_str());
    std::fflush(stdout);
  }
  return 0;
}

#pragma once
// The simulators' commands as one table each: a command's name, how many arguments it takes,
// how its help shows it and what runs it. The parser, the help and the command list all read
// the table, so a command is named in one place.

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace tarnwick::sim {

template <class Handler>
struct Command {
  std::string_view name;
  std::size_t minArguments;
  std::size_t maxArguments;
  const char* synopsis;  // the name and its arguments, as help shows them: "short N [BYTES]"
  const char* help;      // nullptr leaves it out of the help
  Handler run;
  const char* arityError = nullptr;  // what a wrong number of arguments gets, where it differs
};

template <class Handler, std::size_t N>
const Command<Handler>* FindCommand(const Command<Handler> (&table)[N], std::string_view name) {
  for (const Command<Handler>& command : table) {
    if (command.name == name) return &command;
  }
  return nullptr;
}

// "  synopsis         help" for each command with help, one a line, without a last newline.
template <class Handler, std::size_t N>
std::string CommandHelp(const Command<Handler> (&table)[N]) {
  std::string text;
  for (const Command<Handler>& command : table) {
    if (command.help == nullptr) continue;
    char synopsis[24];
    std::snprintf(synopsis, sizeof synopsis, "  %-16s ", command.synopsis);
    if (!text.empty()) text += '\n';
    text += synopsis;
    text += command.help;
  }
  return text;
}

}  // namespace tarnwick::sim

#pragma once
// Text every program here writes for other programs to read. It depends on nothing, so any
// floor, the simulator and its control program may use it.

#include <string>

namespace tarnwick::text {

// A JSON string literal for any bytes: escapes quotes, backslashes and control characters,
// passes well-formed UTF-8 through, and writes any other byte as \u00XX.
std::string JsonString(const std::string& text);

}  // namespace tarnwick::text

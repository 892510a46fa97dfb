#pragma once
// Lines the simulated controllers print, alike on Linux (tarnwick-sim) and in the Windows
// control program (tarnwick-simctl), so a test reads either the same way.

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <utility>

namespace tarnwick::sim {

// Bytes as lower-case hex pairs separated by blanks: "08 12 0a".
inline std::string Hex(const std::uint8_t* data, std::size_t length) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < length; ++i) {
    if (i != 0) text += ' ';
    text += kDigits[data[i] >> 4];
    text += kDigits[data[i] & 0x0F];
  }
  return text;
}

// One device-control call as the request logs show it: "code=00222028 cap=8 in=08 12 ...".
inline std::string RequestLine(std::uint32_t code, std::uint32_t capacity, const std::uint8_t* in,
                               std::size_t length) {
  char head[40];
  std::snprintf(head, sizeof head, "code=%08x cap=%u in=", static_cast<unsigned>(code),
                static_cast<unsigned>(capacity));
  std::string line = head;
  line += Hex(in, length);
  return line;
}

// "status name=value ...", the fields in the order given.
inline std::string StatusLine(std::initializer_list<std::pair<const char*, std::uint64_t>> fields) {
  std::string line = "status";
  for (const auto& [name, value] : fields) {
    line += ' ';
    line += name;
    line += '=';
    line += std::to_string(value);
  }
  return line;
}

}  // namespace tarnwick::sim

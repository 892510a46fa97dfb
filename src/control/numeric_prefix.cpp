#include "control/numeric_prefix.hpp"

#include <charconv>
#include <limits>
#include <string>
#include <system_error>

namespace tarnwick::control {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

double NumericPrefixValue(std::string_view text) {
  // Gather sign, digits and point with the blanks taken out, then convert once: from_chars
  // rounds correctly and never consults the C runtime's locale, so Windows and glibc agree.
  std::string number;
  bool negative = false;
  bool seenSign = false;
  bool seenPoint = false;
  bool seenDigit = false;
  bool nonzeroBeforePoint = false;
  for (const char c : text) {
    if (IsBlank(c)) continue;
    if ((c == '+' || c == '-') && !seenSign && !seenDigit && !seenPoint) {
      seenSign = true;
      negative = c == '-';
    } else if (IsDigit(c)) {
      seenDigit = true;
      if (!seenPoint && c != '0') nonzeroBeforePoint = true;
      number += c;
    } else if (c == '.' && !seenPoint) {
      seenPoint = true;
      number += c;
    } else {
      break;
    }
  }
  if (!seenDigit) return 0.0;

  double value = 0.0;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value,
                                            std::chars_format::fixed);
  (void)end;
  if (error == std::errc::result_out_of_range) {
    value = nonzeroBeforePoint ? std::numeric_limits<double>::max() : 0.0;
  } else if (error != std::errc{}) {
    value = 0.0;
  }
  if (value == 0.0) return 0.0;  // no negative zero: "-0" is plain 0
  return negative ? -value : value;
}

}  // namespace tarnwick::control

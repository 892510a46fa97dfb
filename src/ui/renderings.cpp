#include "ui/renderings.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <system_error>

#include "control/setpoint_write.hpp"

namespace tarnwick::ui {

namespace {

std::string Render(double value, bool zeroBeforePoint) {
  if (value == 0.0 || !std::isfinite(value)) return "0";
  // Fifteen significant digits in scientific form, then the point put back by hand.
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value),
                                    std::chars_format::scientific, 14);
  const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
  const std::size_t e = text.find('e');
  std::string digits;
  digits += text[0];
  digits.append(text.substr(2, e - 2));
  const int exponent = std::atoi(std::string(text.substr(e + 1)).c_str());
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

  const long integerDigits = exponent + 1L;
  const auto count = static_cast<long>(digits.size());
  std::string out = value < 0 ? "-" : "";
  if (integerDigits <= 0) {
    if (zeroBeforePoint) out += '0';
    out += '.';
    out.append(static_cast<std::size_t>(-integerDigits), '0');
    out += digits;
  } else if (integerDigits >= count) {
    out += digits;
    out.append(static_cast<std::size_t>(integerDigits - count), '0');
  } else {
    out.append(digits, 0, static_cast<std::size_t>(integerDigits));
    out += '.';
    out.append(digits, static_cast<std::size_t>(integerDigits));
  }
  return out;
}

}  // namespace

std::string CompactRendering(double value) {
  return Render(value, false);
}
std::string FullRendering(double value) {
  return Render(value, true);
}

std::string MilliampText(double counts) {
  const double milliamps = counts / control::kFullScale * control::kFullScaleMilliamps;
  char buffer[400];  // room for the largest finite double in fixed notation
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, milliamps, std::chars_format::fixed, 1);
  std::string text = result.ec == std::errc{} ? std::string(buffer, result.ptr) : "0.0";
  if (text == "-0.0") text = "0.0";  // a value that rounds to nothing shows no sign
  return text + "mA";
}

}  // namespace tarnwick::ui

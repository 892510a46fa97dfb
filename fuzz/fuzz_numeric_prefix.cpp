// The leading-number parse against any bytes, and its agreement with the renderings: what the
// entry shows must read back as the same number, so the change handling settles.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "control/numeric_prefix.hpp"
#include "ui/renderings.hpp"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using tarnwick::control::NumericPrefixValue;
  using tarnwick::ui::CompactRendering;
  using tarnwick::ui::FullRendering;

  const std::string text(reinterpret_cast<const char*>(data), size);
  const double value = NumericPrefixValue(text);
  Require(std::isfinite(value));
  Require(!(value == 0.0 && std::signbit(value)));
  Require(value >= 0.0 || text.find('-') != std::string::npos);

  // A rendering reads back as a number whose rendering is the same text.
  const std::string full = FullRendering(value);
  const double again = NumericPrefixValue(full);
  Require(FullRendering(again) == full);
  Require(CompactRendering(again) == CompactRendering(value));
  Require(NumericPrefixValue(CompactRendering(value)) == again);
  return 0;
}

#pragma once

#include <string_view>

namespace tarnwick::control {

// The number the leading part of a text spells; 0 when it starts with no number.
// Spaces, tabs and line feeds are skipped wherever they stand; then an optional sign and
// decimal digits with at most one '.', whatever the locale. No exponent and no radix prefix:
// "1e3" reads 1 and "&H10" or "0x10" read 0, so every value the entry can hold is spelled in
// plain digits. Beyond the range of a double the result is the largest finite value.
double NumericPrefixValue(std::string_view text);

}  // namespace tarnwick::control

#pragma once
// How the entry and the milliamp label spell numbers. Plain digits only, never an exponent,
// and built without the C runtime's formatting, so every platform shows the same text.

#include <string>

namespace tarnwick::ui {

// Decimal with '.', a leading '-' for negatives, at most 15 significant digits, no trailing
// zeros; no zero before the point between -1 and 1 (".5", "-.25").
std::string CompactRendering(double value);
// The same with the zero before the point ("0.5", "-0.25").
std::string FullRendering(double value);
// counts / 2047 * 100 with one decimal, at least one integer digit, then "mA": "4.9mA".
std::string MilliampText(double counts);

}  // namespace tarnwick::ui

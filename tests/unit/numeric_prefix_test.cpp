#include "control/numeric_prefix.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace tarnwick::control {
namespace {

struct PrefixCase {
  std::string text;
  double value;
};

void PrintTo(const PrefixCase& c, std::ostream* os) {
  *os << '"' << c.text.substr(0, 40) << '"';
}

class NumericPrefix : public ::testing::TestWithParam<PrefixCase> {};

TEST_P(NumericPrefix, ReadsTheLeadingNumber) {
  const PrefixCase& c = GetParam();
  const double value = NumericPrefixValue(c.text);
  EXPECT_EQ(value, c.value) << '"' << c.text << '"';
  EXPECT_FALSE(std::signbit(value) && value == 0.0) << "negative zero for \"" << c.text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Texts, NumericPrefix,
    ::testing::Values(
        // The examples the entry is built around.
        PrefixCase{"12abc", 12}, PrefixCase{"1 2", 12}, PrefixCase{".5", 0.5}, PrefixCase{"-4", -4},
        PrefixCase{"-", 0}, PrefixCase{"abc", 0}, PrefixCase{"", 0}, PrefixCase{"007", 7},
        PrefixCase{" 5", 5}, PrefixCase{"5 ", 5},
        // Blanks are spaces, tabs and line feeds, wherever they stand; nothing else is.
        PrefixCase{"\t\n 1\t0\n2 4", 1024}, PrefixCase{"- 4", -4}, PrefixCase{"1 . 5", 1.5},
        PrefixCase{"\r5", 0}, PrefixCase{"1\r2", 1}, PrefixCase{"\v5", 0},
        // One sign, one point, plain decimal digits only.
        PrefixCase{"+5", 5}, PrefixCase{"--4", 0}, PrefixCase{"+-4", 0}, PrefixCase{"4-", 4},
        PrefixCase{"1.2.3", 1.2}, PrefixCase{"5.", 5}, PrefixCase{".", 0},
        PrefixCase{"-.25", -0.25}, PrefixCase{"1,5", 1}, PrefixCase{"2047.5", 2047.5},
        // Chosen: no exponent and no radix prefix.
        PrefixCase{"1e3", 1}, PrefixCase{"1E3", 1}, PrefixCase{"1d3", 1}, PrefixCase{"0x10", 0},
        PrefixCase{"&H10", 0}, PrefixCase{"&O17", 0},
        PrefixCase{"\xEF\xBC\x95", 0},  // a full-width 5 is not a digit
        // No negative zero, and correct rounding.
        PrefixCase{"-0", 0}, PrefixCase{"-0.000", 0}, PrefixCase{"0.1", 0.1},
        PrefixCase{"9007199254740993", 9007199254740992.0}));

TEST(NumericPrefixExtremes, HugeTinyAndLongTexts) {
  EXPECT_EQ(NumericPrefixValue(std::string(400, '9')), std::numeric_limits<double>::max());
  EXPECT_EQ(NumericPrefixValue("-" + std::string(400, '9')), -std::numeric_limits<double>::max());
  EXPECT_EQ(NumericPrefixValue("0." + std::string(400, '0') + "1"), 0.0);
  EXPECT_EQ(NumericPrefixValue(std::string(65536, '0') + "1234"), 1234.0);
  EXPECT_EQ(NumericPrefixValue("12" + std::string(65536, ' ') + "34"), 1234.0);
  EXPECT_EQ(NumericPrefixValue("3" + std::string(65536, 'x')), 3.0);
}

}  // namespace
}  // namespace tarnwick::control

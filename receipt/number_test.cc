#include "receipt/number.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>
#include <locale>
#include <string>

#include "testing/comma_locale.h"

namespace fiskal {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

struct Case {
  std::string text;
  double expected;
};

void CheckTable(const Case* begin, const Case* end) {
  for (const Case* c = begin; c != end; ++c) {
    SCOPED_TRACE(::testing::PrintToString(c->text));
    EXPECT_EQ(ReadNumber(c->text), c->expected);
  }
}

TEST(ReadNumberTest, Table) {
  const Case cases[] = {
      {"0", 0},
      {"150", 150},
      {"007", 7},
      // Spaces, TABs and LFs are skipped anywhere.
      {"1 000", 1000},
      {"1 5 0", 150},
      {" \t\n42 ", 42},
      {"1\t2\n3", 123},
      {"- 5", -5},
      {"1 . 5", 1.5},
      {"1 E 2", 100},
      // Other control bytes are not skipped.
      {"\r5", 0},
      {"\v5", 0},
      {"\f5", 0},
      // Sign.
      {"-5", -5},
      {"+7", 7},
      {"+-5", 0},
      {"--5", 0},
      {"-", 0},
      {"+", 0},
      // The decimal point is the full stop; a comma ends the number.
      {"12.5", 12.5},
      {"12.50", 12.5},
      {"12,50", 12},
      {"1,5", 1},
      {".5", 0.5},
      {"-.5", -0.5},
      {"5.", 5},
      {"1.2.3", 1.2},
      {".", 0},
      {"-.", 0},
      // Exponent: E or e, optional sign, digits.
      {"1E2", 100},
      {"1e2", 100},
      {"1e+2", 100},
      {"1e-2", 0.01},
      {"1.5e1", 15},
      {"1e0000000000000000002", 100},
      {"1E", 1},
      {"1E+", 1},
      {"1e-", 1},
      {"1Ex", 1},
      {"1e2.5", 100},
      {"1e2e3", 100},
      {"E2", 0},
      {".e2", 0},
      // Reading stops at the first byte that cannot continue the number.
      {"12abc", 12},
      {"0x10", 0},
      {"1d2", 1},
      // No leading number.
      {"", 0},
      {"   ", 0},
      {"abc", 0},
      {"x12", 0},
      // Out of range: an infinity of its sign, or zero.
      {"1e999", kInf},
      {"-1e999", -kInf},
      {"1e99999999999", kInf},
      {"0.0001e999", kInf},
      {"1e-999", 0},
      {"0e999999", 0},
      {"1e308", 1e308},
  };
  CheckTable(std::begin(cases), std::end(cases));
}

TEST(ReadNumberTest, MinusZeroAndUnderflowAreZero) {
  EXPECT_EQ(ReadNumber("-0"), 0.0);
  EXPECT_EQ(ReadNumber("-1e-999"), 0.0);
}

TEST(ReadNumberTest, VeryLongDigitStrings) {
  const std::string huge = "1" + std::string(399, '0');
  ASSERT_EQ(huge.size(), 400u);
  const std::string tiny = "0." + std::string(399, '0') + "1";
  const Case cases[] = {
      {huge, kInf},
      {"-" + huge, -kInf},
      {huge + "e-399", 1},
      {tiny, 0},
      {tiny + "e400", 1},
      {std::string(400, '0') + "7", 7},
  };
  CheckTable(std::begin(cases), std::end(cases));
}

TEST(ReadNumberTest, FullStopWhateverTheLocale) {
  testing::CommaLocale locale;
  if (!locale.active()) GTEST_SKIP() << "no locale with a decimal comma";
  const Case cases[] = {
      {"12.5", 12.5},
      {"12,50", 12},
      {"1 000", 1000},
      {"1.5e1", 15},
  };
  CheckTable(std::begin(cases), std::end(cases));
}

}  // namespace
}  // namespace fiskal

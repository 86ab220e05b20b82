#include "receipt/number.h"

#include <charconv>
#include <limits>
#include <string>

namespace fiskal {

namespace {

bool IsSkipped(char c) { return c == ' ' || c == '\t' || c == '\n'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

double ReadNumber(std::string_view text) {
  std::string s;
  s.reserve(text.size());
  for (char c : text) {
    if (!IsSkipped(c)) s += c;
  }

  std::size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    negative = s[i] == '-';
    ++i;
  }

  // Mantissa: digits with at most one full stop.
  std::string whole_digits;
  std::string fraction_digits;
  bool dot = false;
  for (; i < s.size(); ++i) {
    const char c = s[i];
    if (IsDigit(c)) {
      (dot ? fraction_digits : whole_digits) += c;
    } else if (c == '.' && !dot) {
      dot = true;
    } else {
      break;
    }
  }
  if (whole_digits.empty() && fraction_digits.empty()) return 0.0;

  // Decimal power of the leading significant digit, to tell an overflow of
  // the double range from an underflow.
  const std::size_t first_whole = whole_digits.find_first_not_of('0');
  const std::size_t first_fraction = fraction_digits.find_first_not_of('0');
  if (first_whole == std::string::npos && first_fraction == std::string::npos) {
    return negative ? -0.0 : 0.0;
  }
  const long scale =
      first_whole != std::string::npos
          ? static_cast<long>(whole_digits.size() - first_whole) - 1
          : -static_cast<long>(first_fraction) - 1;

  // What std::from_chars reads: no sign, digits, point, exponent.
  std::string number = (whole_digits.empty() ? "0" : whole_digits) + "." +
                       (fraction_digits.empty() ? "0" : fraction_digits);

  // Exponent, taken only when at least one digit follows it.
  long exponent = 0;
  if (i < s.size() && (s[i] == 'E' || s[i] == 'e')) {
    std::size_t j = i + 1;
    bool exponent_negative = false;
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) {
      exponent_negative = s[j] == '-';
      ++j;
    }
    if (j < s.size() && IsDigit(s[j])) {
      for (; j < s.size() && IsDigit(s[j]); ++j) {
        if (exponent < 1'000'000) exponent = exponent * 10 + (s[j] - '0');
      }
      if (exponent_negative) exponent = -exponent;
      number += 'e';
      number += std::to_string(exponent);
    }
  }

  double value = 0.0;
  auto result = std::from_chars(number.data(), number.data() + number.size(),
                                value, std::chars_format::general);
  if (result.ec == std::errc::result_out_of_range) {
    value = scale + exponent > 0
                ? std::numeric_limits<double>::infinity()
                : 0.0;
  } else if (result.ec != std::errc()) {
    value = 0.0;
  }
  return negative ? -value : value;
}

}  // namespace fiskal

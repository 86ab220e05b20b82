#include "base/time_text.h"

#include <gtest/gtest.h>

namespace fiskal {
namespace {

// The times the API shows are UTC in RFC 3339 with milliseconds, the same
// on every platform.
TEST(TimeText, Rfc3339InUtcWithMilliseconds) {
  const struct {
    std::int64_t unix_ms;
    const char* text;
  } cases[] = {
      {0, "1970-01-01T00:00:00.000Z"},
      {1700000000123, "2023-11-14T22:13:20.123Z"},
      {951782400000, "2000-02-29T00:00:00.000Z"},  // a leap day
      {4102444799999, "2099-12-31T23:59:59.999Z"},
  };
  for (const auto& c : cases) EXPECT_EQ(Rfc3339(c.unix_ms), c.text) << c.unix_ms;
}

// A deadline is read from RFC 3339 text, with its zone; anything else is
// refused with the reason.
TEST(TimeText, ParsesRfc3339) {
  const struct {
    const char* text;
    std::int64_t unix_ms;
  } valid[] = {
      {"2026-12-09T14:30:00Z", 1796826600000},
      {"2026-12-09t14:30:00.25z", 1796826600250},
      {"2024-02-29T23:59:59.999+01:00", 1709247599999},  // a leap day, an hour east
      {"2000-02-29T00:00:00-00:00", 951782400000},
      {"2026-03-01T01:30:00+05:30", 1772308800000},  // the day before, in UTC
      {"2026-12-09T09:30:00-05:00", 1796826600000},
      {"1970-01-01T00:00:00.0005Z", 0},             // finer than a millisecond: cut off
      {"1970-01-01T00:00:00.123456789Z", 123},
      {"1999-12-31T23:59:60Z", 946684800000},  // a leap second
  };
  for (const auto& c : valid) {
    std::string why;
    EXPECT_EQ(ParseRfc3339(c.text, &why), std::optional<std::int64_t>(c.unix_ms))
        << c.text << ": " << why;
  }
  const struct {
    const char* text;
    const char* why;
  } invalid[] = {
      {"", "YYYY-MM-DD"},
      {"2026-12-09", "followed by T"},
      {"2026-12-09 14:30:00Z", "followed by T"},
      {"2026-13-09T14:30:00Z", "no month 13"},
      {"2026-00-09T14:30:00Z", "no month 0"},
      {"2025-02-29T14:30:00Z", "no day 29 in 2025"},  // not a leap year
      {"1900-02-29T00:00:00Z", "no day 29 in 1900"},
      {"2026-04-31T14:30:00Z", "no day 31"},
      {"2026-12-00T14:30:00Z", "no day 0"},
      {"2026-12-09T24:00:00Z", "no such time"},
      {"2026-12-09T14:60:00Z", "no such time"},
      {"2026-12-09T14:30:61Z", "no such time"},
      {"2026-12-09T14:30Z", "hh:mm:ss"},
      {"2026-12-09T14:30:00", "zone is missing"},
      {"2026-12-09T14:30:00.Z", "no digits"},
      {"2026-12-09T14:30:00+0100", "+hh:mm"},
      {"2026-12-09T14:30:00+24:00", "no such offset"},
      {"2026-12-09T14:30:00+01:60", "no such offset"},
      {"2026-12-09T14:30:00Zjunk", "goes on after the zone"},
      {"2026-12-09T14:30:00+01:00 ", "goes on after the zone"},
      {"26-12-09T14:30:00Z", "YYYY-MM-DD"},
      {"2026/12/09T14:30:00Z", "YYYY-MM-DD"},
      {"+2026-12-09T14:30:00Z", "YYYY-MM-DD"},
      {"1796826600", "YYYY-MM-DD"},
  };
  for (const auto& c : invalid) {
    std::string why;
    EXPECT_FALSE(ParseRfc3339(c.text, &why).has_value()) << c.text;
    EXPECT_NE(why.find(c.why), std::string::npos) << c.text << ": " << why;
  }
}

}  // namespace
}  // namespace fiskal

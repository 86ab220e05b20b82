#include "base/time_text.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace fiskal {

std::string Rfc3339(std::int64_t unix_ms) {
  // The civil calendar of the standard library: the same on every platform.
  using namespace std::chrono;
  const sys_time<milliseconds> at{milliseconds(unix_ms)};
  const sys_days day = floor<days>(at);
  const year_month_day date{day};
  const hh_mm_ss<milliseconds> time{at - day};
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()),
                static_cast<int>(time.subseconds().count()));
  return text;
}

namespace {

// The number in text[at, at + n), all digits, or -1.
int Digits(std::string_view text, std::size_t at, std::size_t n) {
  if (at + n > text.size()) return -1;
  int value = 0;
  for (std::size_t i = at; i < at + n; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

}  // namespace

std::optional<std::int64_t> ParseRfc3339(std::string_view text, std::string* why) {
  auto fail = [&](const std::string& reason) -> std::optional<std::int64_t> {
    if (why != nullptr) *why = reason;
    return std::nullopt;
  };
  auto at = [&](std::size_t i, char c) { return i < text.size() && text[i] == c; };
  const int year = Digits(text, 0, 4);
  const int month = at(4, '-') ? Digits(text, 5, 2) : -1;
  const int day = at(7, '-') ? Digits(text, 8, 2) : -1;
  if (year < 0 || month < 0 || day < 0) return fail("the date is not written YYYY-MM-DD");
  if (!at(10, 'T') && !at(10, 't')) return fail("the date is not followed by T and the time");
  const int hour = Digits(text, 11, 2);
  const int minute = at(13, ':') ? Digits(text, 14, 2) : -1;
  const int second = at(16, ':') ? Digits(text, 17, 2) : -1;
  if (hour < 0 || minute < 0 || second < 0) return fail("the time is not written hh:mm:ss");
  const std::chrono::year_month_day date{std::chrono::year(year),
                                         std::chrono::month(static_cast<unsigned>(month)),
                                         std::chrono::day(static_cast<unsigned>(day))};
  if (month < 1 || month > 12) return fail("there is no month " + std::to_string(month));
  if (!date.ok()) {
    return fail("the month has no day " + std::to_string(day) + " in " + std::to_string(year));
  }
  if (hour > 23 || minute > 59 || second > 60) return fail("there is no such time of day");
  std::size_t i = 19;
  std::int64_t ms = 0;
  if (at(i, '.')) {
    std::size_t digits = 0;
    for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
      if (digits < 3) ms = ms * 10 + (text[i] - '0');
    }
    if (digits == 0) return fail("the fraction of a second has no digits");
    for (; digits < 3; ++digits) ms *= 10;
  }
  std::int64_t offset_minutes = 0;
  if (at(i, 'Z') || at(i, 'z')) {
    ++i;
  } else if (at(i, '+') || at(i, '-')) {
    const int hours = Digits(text, i + 1, 2);
    const int minutes = at(i + 3, ':') ? Digits(text, i + 4, 2) : -1;
    if (hours < 0 || minutes < 0) return fail("the offset is not written +hh:mm or -hh:mm");
    if (hours > 23 || minutes > 59) return fail("there is no such offset");
    offset_minutes = (text[i] == '-' ? -1 : 1) * (std::int64_t{hours} * 60 + minutes);
    i += 6;
  } else {
    return fail("the zone is missing: end it with Z (UTC) or an offset such as +01:00");
  }
  if (i != text.size()) return fail("it goes on after the zone");
  const std::int64_t days_since_1970 = std::chrono::sys_days(date).time_since_epoch().count();
  const std::int64_t seconds = days_since_1970 * 86400 + std::int64_t{hour} * 3600 +
                               std::int64_t{minute} * 60 + second - offset_minutes * 60;
  return seconds * 1000 + ms;
}

std::string TimeOfDay(std::int64_t unix_ms) {
  const std::time_t t = static_cast<std::time_t>(unix_ms / 1000);
  const std::tm local = LocalTime(t);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

std::string HowLong(std::int64_t ms) {
  const std::int64_t seconds = std::max<std::int64_t>(ms, 0) / 1000;
  if (seconds < 60) return std::to_string(seconds) + " s";
  const std::int64_t minutes = seconds / 60;
  if (minutes < 60) return std::to_string(minutes) + " min";
  return std::to_string(minutes / 60) + " h " + std::to_string(minutes % 60) + " min";
}

}  // namespace fiskal

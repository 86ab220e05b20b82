// Times as text, written here only: RFC 3339 as fiskald's documents and
// deadlines carry it (UTC, with milliseconds), and the time of day and
// lengths of time as a person reads them in messages.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace fiskal {

// "2026-12-07T15:47:00.123Z"
std::string Rfc3339(std::int64_t unix_ms);
// The time an RFC 3339 text names ("2026-12-09T14:30:00Z",
// "2026-12-09T15:30:00.5+01:00"), in milliseconds since 1970 (UTC;
// fractions finer than a millisecond are cut off), or nothing and *why
// (when given) says what is wrong with it. The date and time are full
// (seconds included), the zone is Z or an offset; a leap second (:60)
// reads as the second after :59.
std::optional<std::int64_t> ParseRfc3339(std::string_view text, std::string* why = nullptr);
// "10:42:05": the time of day, the shop's (local) time.
std::string TimeOfDay(std::int64_t unix_ms);
// How long, as a person reads it: "40 s", "15 min", "1 h 5 min".
std::string HowLong(std::int64_t ms);

// The local time of `t`, as the system's time zone has it.
std::tm LocalTime(std::time_t t);

}  // namespace fiskal

// What fiskald answers: a receipt as JSON, problems as
// application/problem+json, times as RFC 3339 text (and as a person reads
// them in messages).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "service/http/http.h"
#include "service/journal/journal.h"
#include "service/printers/printers.h"

namespace fiskal::service {

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

// The receipt resource: id, idempotency_key, state, port, device, footer,
// items (number, name, tax letter, quantity, price, line value, as
// printed), total, texts_total, texts_sent, message, accepted_at,
// finished_at, deadline, in that order. Names and the footer are taken as UTF-8; bytes that are not
// are shown as U+FFFD (the transcript has them exactly).
nlohmann::ordered_json ReceiptJson(const StoredReceipt& receipt);

// The JSON text of a value; invalid UTF-8 is replaced, never thrown over.
std::string Dump(const nlohmann::ordered_json& value);

// The printers as GET /v1/printers lists them.
nlohmann::ordered_json PrintersJson(const std::vector<PrinterStatus>& printers);

// A problem document (RFC 9457): type about:blank, the status's reason
// phrase as its title, the status, the detail, then `extra`'s members.
nlohmann::ordered_json ProblemJson(int status, const std::string& detail,
                                   const nlohmann::ordered_json& extra = nlohmann::ordered_json::object());

// An answer of JSON.
http::Response JsonAnswer(int status, const nlohmann::ordered_json& body);
// A problem as an answer (application/problem+json).
http::Response ProblemAnswer(int status, const std::string& detail,
                             const nlohmann::ordered_json& extra = nlohmann::ordered_json::object());

// The bytes fiskal.log would hold for the texts sent so far.
std::string TranscriptOf(const StoredReceipt& receipt);

}  // namespace fiskal::service

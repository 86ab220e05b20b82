#include "service/api/resource.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "protocol/frame_decoder.h"
#include "protocol/transcript_record.h"
#include "service/os/system.h"

namespace fiskal::service {

using Json = nlohmann::ordered_json;

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

Json ReceiptJson(const StoredReceipt& r) {
  Json items = Json::array();
  Json footer = nullptr, total = nullptr;
  for (const JournalText& t : r.texts) {
    const DecodedText text = DecodeText({t.bytes, 0});
    if (text.kind == TextKind::kItem) {
      items.push_back({{"number", text.number.value_or(0)},
                       {"name", text.name},
                       {"tax_letter", text.tax_letter},
                       {"quantity", text.quantity},
                       {"price", text.unit_price},
                       {"line_value", text.line_value}});
    } else if (text.kind == TextKind::kEnd) {
      footer = text.footer;
      total = text.total;
    }
  }
  return {{"id", r.id},
          {"idempotency_key", r.idempotency_key},
          {"state", StateName(r.state)},
          {"port", r.port},
          {"device", r.device.empty() ? Json(nullptr) : Json(r.device)},
          {"footer", footer},
          {"items", items},
          {"total", total},
          {"texts_total", r.texts.size()},
          {"texts_sent", r.texts_sent()},
          {"message", r.state == State::kQueued && !r.waiting_reason.empty()
                          ? "waiting for " + r.waiting_reason + ", since " +
                                TimeOfDay(r.waiting_since_ms)
                          : r.message},
          {"accepted_at", Rfc3339(r.accepted_ms)},
          {"finished_at", r.finished_ms > 0 ? Json(Rfc3339(r.finished_ms)) : Json(nullptr)},
          {"deadline", r.deadline_ms > 0 ? Json(Rfc3339(r.deadline_ms)) : Json(nullptr)}};
}

std::string Dump(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

http::Response JsonAnswer(int status, const Json& body) {
  http::Response r;
  r.status = status;
  r.content_type = "application/json";
  r.body = Dump(body);
  return r;
}

Json ProblemJson(int status, const std::string& detail, const Json& extra) {
  Json body = {{"type", "about:blank"},
               {"title", http::ReasonPhrase(status)},
               {"status", status},
               {"detail", detail}};
  for (const auto& [k, v] : extra.items()) body[k] = v;
  return body;
}

http::Response ProblemAnswer(int status, const std::string& detail, const Json& extra) {
  http::Response r;
  r.status = status;
  r.content_type = "application/problem+json";
  r.body = Dump(ProblemJson(status, detail, extra));
  return r;
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

Json PrintersJson(const std::vector<PrinterStatus>& printers) {
  Json list = Json::array();
  for (const PrinterStatus& p : printers) {
    Json sending = nullptr, last = nullptr;
    if (p.sending) sending = {{"id", *p.sending}, {"text", p.text}, {"texts", p.texts}};
    if (p.last_id) {
      last = {{"id", *p.last_id},
              {"state", p.last_state},
              {"finished_at", Rfc3339(p.last_finished_ms)}};
    }
    list.push_back({{"port", p.port},
                    {"device", p.device.empty() ? Json(nullptr) : Json(p.device)},
                    {"queue_length", p.queued},
                    {"sending", sending},
                    {"last", last},
                    {"waiting", p.waiting},
                    {"waiting_since", p.waiting_since_ms != 0 ? Json(Rfc3339(p.waiting_since_ms))
                                                              : Json(nullptr)},
                    {"waiting_reason", p.waiting_since_ms != 0 ? Json(p.waiting_reason)
                                                               : Json(nullptr)}});
  }
  return list;
}

std::string TranscriptOf(const StoredReceipt& receipt) {
  std::string transcript;
  for (const JournalText& t : receipt.texts) {
    if (t.sent) transcript += TranscriptRecord(t.bytes);
  }
  return transcript;
}

}  // namespace fiskal::service

#include "service/resource.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "protocol/frame_decoder.h"
#include "protocol/transcript_record.h"
#include "service/system.h"

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
          {"finished_at", r.finished_ms > 0 ? Json(Rfc3339(r.finished_ms)) : Json(nullptr)}};
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

#include "service/documents.h"

#include "base/reason_phrase.h"
#include "base/time_text.h"
#include "protocol/frame_decoder.h"

namespace fiskal::service {

using Json = nlohmann::ordered_json;

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

Json ProblemJson(int status, const std::string& detail, const Json& extra) {
  Json body = {{"type", "about:blank"},
               {"title", ReasonPhrase(status)},
               {"status", status},
               {"detail", detail}};
  for (const auto& [k, v] : extra.items()) body[k] = v;
  return body;
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

}  // namespace fiskal::service

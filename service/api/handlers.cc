// The API's answers about receipts, printers, decisions and the service:
// health and readiness, a receipt posted, listed, read (waited for), its
// transcript and slip, a person's decision, the printers and a give-up,
// the broker connection. The route table that calls them is api.cc.
#include <nlohmann/json.hpp>

#include "base/time_text.h"
#include "printer/slip.h"
#include "protocol/receipt_check.h"
#include "service/api/api.h"
#include "service/api/resource.h"
#include "service/api/routing.h"
#include "service/intake/receipt_form.h"
#include "service/intake/strict_json.h"

namespace fiskal::service {

using Json = nlohmann::ordered_json;

std::optional<StoredReceipt> Api::Load(std::int64_t id, const http::Reply& reply) {
  std::optional<StoredReceipt> r;
  if (Status s = journal_.Get(id, &r); !s.ok()) {
    reply(Problem(503, s.message()));
    return std::nullopt;
  }
  if (!r) reply(Problem(404, "there is no receipt " + std::to_string(id)));
  return r;
}

void Api::AnswerReceipt(std::int64_t id, int wait, int status, bool replayed,
                        const http::Reply& reply) {
  auto send = [this, id, status, replayed, reply] {
    std::optional<StoredReceipt> r;
    if (Status s = journal_.Get(id, &r); !s.ok() || !r) {
      return reply(Problem(500, "the receipt was stored, but cannot be read now: " + s.message()));
    }
    http::Response answer = JsonAnswer(status, ReceiptJson(*r));
    if (status == 201) answer.Set("Location", "/v1/receipts/" + std::to_string(id));
    if (replayed) answer.Set("Idempotent-Replayed", "true");
    reply(std::move(answer));
  };
  auto final_now = [&] {
    std::optional<StoredReceipt> r;
    return !journal_.Get(id, &r).ok() || !r || IsFinal(r->state);
  };
  // A wait holds no thread: the answer goes out from the waits' thread
  // when the receipt is final, the time is up, or fiskald begins to stop.
  if (wait <= 0 || final_now() || !waits_.Add(id, wait, send)) return send();
  if (final_now()) waits_.Finished(id);  // it ended before the wait was in place
}

void Api::Healthz(const http::Request&, std::int64_t, const http::Reply& reply) {
  reply(JsonAnswer(200, {{"status", "alive"}}));
}

void Api::Readyz(const http::Request&, std::int64_t, const http::Reply& reply) {
  if (shutdown_.draining()) return reply(Problem(503, "fiskald is stopping"));
  if (Status s = journal_.CheckWritable(); !s.ok()) {
    return reply(Problem(503, "the journal cannot be written: " + s.message()));
  }
  reply(JsonAnswer(200, {{"status", "ready"}}));
}

void Api::PostReceipt(const http::Request& request, std::int64_t, const http::Reply& reply) {
  Submission submission;
  submission.key = std::string(request.Header("Idempotency-Key"));
  // Admit took its content type already.
  ReceiptFormOf(request.Header("Content-Type"), kPosted, &submission.json);
  submission.body = request.body;
  const Outcome outcome = intake_.Submit(submission);
  if (!outcome.stored()) return reply(Problem(outcome.status, outcome.detail, outcome.extra));
  AnswerReceipt(outcome.id, WaitOf(request), outcome.status, outcome.status == 200, reply);
}

// A page of the list, newest first: up to `limit` receipts, and no more
// than fit in limits_.listed_bytes (the first always, however large), each
// read from the journal and written out in turn, so that a page's
// receipts are never all in memory at once. When older ones follow,
// "next" holds the path and query of the page that begins with them.
void Api::ListReceipts(const http::Request& request, std::int64_t, const http::Reply& reply) {
  std::optional<State> state;
  if (auto s = request.Query("state")) state = ParseState(*s);
  int limit = limits_.listed_by_default;
  if (auto l = request.Query("limit")) limit = Whole(*l, 1, limits_.max_listed).value_or(limit);
  std::int64_t before = 0;
  if (auto b = request.Query("before")) Matches("{id}", *b, &before);
  std::string body = "{\"receipts\":[";
  std::int64_t last = 0;
  bool more = false;
  const Status s = journal_.List(
      state, before, limit,
      [&](StoredReceipt&& r) {
        std::string one = Dump(ReceiptJson(r));
        if (last != 0 && body.size() + one.size() + 1 > limits_.listed_bytes) return false;
        if (last != 0) body += ',';
        body += one;
        last = r.id;
        return true;
      },
      &more);
  if (!s.ok()) return reply(Problem(503, s.message()));
  Json next = nullptr;
  if (more) {
    next = "/v1/receipts?before=" + std::to_string(last) + "&limit=" + std::to_string(limit) +
           (state ? "&state=" + std::string(StateName(*state)) : std::string());
  }
  body += "],\"next\":" + Dump(next) + "}";
  http::Response answer;
  answer.content_type = "application/json";
  answer.body = std::move(body);
  reply(std::move(answer));
}

void Api::GetReceipt(const http::Request& request, std::int64_t id, const http::Reply& reply) {
  if (!Load(id, reply)) return;
  AnswerReceipt(id, WaitOf(request), 200, false, reply);
}

void Api::Transcript(const http::Request&, std::int64_t id, const http::Reply& reply) {
  const std::optional<StoredReceipt> r = Load(id, reply);
  if (!r) return;
  http::Response answer;
  answer.content_type = "application/octet-stream";
  answer.body = TranscriptOf(*r);
  reply(std::move(answer));
}

// The receipt drawn as the printer prints it (every text, sent or not).
void Api::Slip(const http::Request&, std::int64_t id, const http::Reply& reply) {
  const std::optional<StoredReceipt> r = Load(id, reply);
  if (!r) return;
  std::vector<RawText> texts;
  for (const JournalText& t : r->texts) texts.push_back({t.bytes, 0});
  http::Response answer;
  answer.content_type = "text/html; charset=utf-8";
  answer.body = SlipHtml(CheckReceipt(texts));
  reply(std::move(answer));
}

void Api::Resolve(const http::Request& request, std::int64_t id, const http::Reply& reply) {
  // A decision has one member, "printed", a single value: anything else is
  // refused where it begins, unread.
  struct Decision : JsonShape {
    bool refused = false;
    std::optional<std::string> Begin(const std::vector<JsonStep>& path, JsonKind kind) override {
      const bool fits = path.empty() ? kind == JsonKind::kObject
                                     : path.size() == 1 && path[0].name == "printed" &&
                                           kind == JsonKind::kScalar;
      if (fits) return std::nullopt;
      refused = true;
      return "not a decision";
    }
  } decision;
  nlohmann::json body;
  std::optional<std::string> malformed = ParseStrictJson(request.body, &body, &decision);
  if (decision.refused) malformed.reset();
  if (malformed || decision.refused || !body.is_object() || body.size() != 1 ||
      !body.contains("printed") || !body.at("printed").is_boolean()) {
    return reply(Problem(400, (malformed ? *malformed + "; " : std::string()) +
                                  "the body must be {\"printed\": true} or {\"printed\": false}"));
  }
  bool found = false, conflict = false;
  if (Status s = journal_.Resolve(id, body.at("printed").get<bool>(), &found, &conflict); !s.ok()) {
    return reply(Problem(503, s.message()));
  }
  if (!found) return reply(Problem(404, "there is no receipt " + std::to_string(id)));
  std::optional<StoredReceipt> r;
  if (Status s = journal_.Get(id, &r); !s.ok() || !r) return reply(Problem(503, s.message()));
  if (conflict) {
    return reply(Problem(409, "receipt " + std::to_string(id) + " is " +
                                  std::string(StateName(r->state)) +
                                  "; only a receipt in_doubt or cut is resolved",
                         {{"state", StateName(r->state)}}));
  }
  reply(JsonAnswer(200, ReceiptJson(*r)));
}

void Api::ListPrinters(const http::Request&, std::int64_t, const http::Reply& reply) {
  reply(JsonAnswer(200, {{"printers", PrintersJson(printers_.Snapshot())}}));
}

void Api::GiveUp(const http::Request& request, std::int64_t port, const http::Reply& reply) {
  if (!request.body.empty()) {
    return reply(Problem(400, "give-up takes no body: POST /v1/printers/" +
                                  std::to_string(port) + "/give-up alone"));
  }
  bool configured = false;
  for (const PrinterStatus& p : printers_.Snapshot()) configured = configured || p.port == port;
  if (!configured) {
    return reply(Problem(404, "port " + std::to_string(port) +
                                  " is not configured (FISKAL_COM" + std::to_string(port) +
                                  " or --port)"));
  }
  std::size_t given_up = 0;
  if (!printers_.GiveUp(static_cast<int>(port), &given_up)) {
    return reply(Problem(409, "no receipt waits for port " + std::to_string(port) + " now"));
  }
  reply(JsonAnswer(200, {{"given_up", given_up}}));
}

void Api::BrokerConnection(const http::Request&, std::int64_t, const http::Reply& reply) {
  if (broker_ == nullptr) {
    return reply(JsonAnswer(200, {{"url", nullptr},
                                  {"shop", nullptr},
                                  {"connected", false},
                                  {"since", nullptr},
                                  {"last_error", nullptr},
                                  {"session_expiry_asked", nullptr},
                                  {"session_expiry_granted", nullptr}}));
  }
  const BrokerState b = broker_->State();
  reply(JsonAnswer(200, {{"url", b.url},
                         {"shop", b.shop},
                         {"connected", b.connected},
                         {"since", b.since_ms > 0 ? Json(Rfc3339(b.since_ms)) : Json(nullptr)},
                         {"last_error", b.last_error.empty() ? Json(nullptr) : Json(b.last_error)},
                         {"session_expiry_asked", b.session_expiry_asked},
                         {"session_expiry_granted", b.session_expiry_granted
                                                        ? Json(*b.session_expiry_granted)
                                                        : Json(nullptr)}}));
}

}  // namespace fiskal::service

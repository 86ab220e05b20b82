#include "service/intake.h"

#include <exception>

#include "service/receipt_form.h"
#include "service/sha256.h"

namespace fiskal::service {

using Json = nlohmann::ordered_json;

namespace {

Outcome Problem(int status, std::string detail, Json extra = Json::object()) {
  Outcome o;
  o.status = status;
  o.detail = std::move(detail);
  o.extra = std::move(extra);
  return o;
}

}  // namespace

bool ValidKey(std::string_view key) {
  if (key.empty() || key.size() > 255) return false;
  for (char c : key) {
    if (c < 0x21 || c > 0x7E) return false;
  }
  return true;
}

Intake::Intake(Journal& journal, Printers& printers, PortAccess& ports, Shutdown& shutdown,
               IntakeLimits limits)
    : journal_(journal), printers_(printers), ports_(ports), shutdown_(shutdown), limits_(limits) {}

Outcome Intake::Submit(const Submission& submission) {
  if (submission.body.size() > limits_.max_body_bytes) {
    return Problem(413, "a receipt is at most " + std::to_string(limits_.max_body_bytes) +
                            " bytes; this one has " + std::to_string(submission.body.size()));
  }
  // One request per key at a time, until its receipt is stored (or not).
  {
    std::unique_lock<std::mutex> lock(keys_mu_);
    if (submission.wait_for_key) {
      key_freed_.wait(lock, [&] { return keys_in_flight_.count(submission.key) == 0; });
    } else if (keys_in_flight_.count(submission.key) != 0) {
      return Problem(409, "a request with this Idempotency-Key is still being stored; retry "
                          "once it has been");
    }
    keys_in_flight_.insert(submission.key);
  }
  Outcome outcome;
  try {
    outcome = Store(submission);
  } catch (const std::exception& e) {
    outcome = Problem(500, std::string("the receipt could not be taken: ") + e.what());
  }
  {
    std::lock_guard<std::mutex> lock(keys_mu_);
    keys_in_flight_.erase(submission.key);
  }
  key_freed_.notify_all();
  return outcome;
}

Outcome Intake::Store(const Submission& submission) {
  const std::string digest = Sha256(submission.body);
  std::optional<StoredReceipt> stored;
  if (Status s = journal_.FindByKey(submission.key, &stored); !s.ok()) {
    return Problem(500, "cannot tell whether this key is stored: " + s.message() +
                            "; retry with the same Idempotency-Key");
  }
  if (stored) {
    if (stored->body_sha256 != digest) {
      return Problem(422, "this Idempotency-Key was used for another receipt (a different "
                          "body); use a fresh key for a new receipt",
                     {{"receipt", stored->id}});
    }
    // Stored: its receipt is the answer, even while stopping.
    if (submission.answer_to) {
      if (Status s = journal_.AddAnswerTo(stored->id, *submission.answer_to); !s.ok()) {
        return Problem(503, "the receipt is stored, but its answer could not be: " + s.message() +
                                "; retry with the same Idempotency-Key");
      }
    }
    Outcome o;
    o.status = 200;
    o.id = stored->id;
    return o;
  }
  if (shutdown_.draining()) {
    return Problem(503, "fiskald is stopping and takes no new receipt; the receipt was not "
                        "stored, so it will not print; retry with the same Idempotency-Key "
                        "once fiskald is back");
  }
  // A new receipt: read it by fiskal's rules.
  std::string fiskal_txt;
  if (submission.json) {
    if (auto p = JsonToFiskalTxt(submission.body, &fiskal_txt)) {
      Json extra = Json::object();
      if (p->item) extra["item"] = *p->item;
      return Problem(p->http_status, p->detail, extra);
    }
  }
  Receipt receipt;
  if (auto p = PrepareFromText(submission.json ? fiskal_txt : submission.body, submission.json,
                               &receipt)) {
    Json extra = Json::object();
    if (p->line) extra["line"] = *p->line;
    if (p->item) extra["item"] = *p->item;
    return Problem(p->http_status, p->detail, extra);
  }
  const int port = receipt.nPort;
  const std::string device = port != 0 ? ports_.Device(port) : std::string();
  if (port != 0 && device.empty()) {
    std::string configured;
    for (int n = 1; n <= 9; ++n) {
      if (!ports_.Device(n).empty()) configured += ", " + std::to_string(n);
    }
    Json extra = Json::object();
    if (!submission.json) extra["line"] = 1;
    return Problem(422,
                   "port " + std::to_string(port) + " is not configured; fiskald prints on port 0 " +
                       "(log-only)" + (configured.empty() ? "" : " and ports" + configured.substr(1)) +
                       " (a port is configured with FISKAL_COM<n> or --port n=DEVICE); nothing was "
                       "sent",
                   extra);
  }
  if (!printers_.Reserve(port, limits_.max_queued_per_port)) {
    return Problem(503, "the queue of port " + std::to_string(port) + " holds " +
                            std::to_string(limits_.max_queued_per_port) +
                            " receipts already; the receipt was not stored; retry later with "
                            "the same Idempotency-Key");
  }
  NewReceipt fresh;
  fresh.idempotency_key = submission.key;
  fresh.body_sha256 = digest;
  fresh.port = port;
  fresh.device = device;
  fresh.deadline_ms = submission.deadline_ms;
  fresh.answer_to = submission.answer_to;
  for (const Text& t : receipt.texts) fresh.texts.push_back({t.bytes, t.label, t.pause_after});
  bool duplicate = false;
  std::int64_t id = 0;
  const Status s = journal_.Accept(
      fresh, [&](std::int64_t new_id) { printers_.Enqueue(new_id, port); }, &id, &duplicate);
  if (!s.ok()) {
    printers_.Release(port);
    return duplicate ? Problem(409, "this Idempotency-Key was taken meanwhile; retry to get its "
                                    "receipt")
                     : Problem(503, "the receipt was not stored, so it will not print: " +
                                        s.message());
  }
  Outcome o;
  o.status = 201;
  o.id = id;
  return o;
}

}  // namespace fiskal::service

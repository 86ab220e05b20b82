#include "service/intake/intake.h"

#include <algorithm>
#include <exception>

#include "service/intake/receipt_form.h"
#include "base/time_text.h"
#include "service/journal/same_receipt.h"
#include "service/os/sha256.h"

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

Json WhereIn(const FormProblem& p, Json extra = Json::object()) {
  if (p.line) extra["line"] = *p.line;
  if (p.item) extra["item"] = *p.item;
  return extra;
}

// A body read as a receipt: the receipt it makes, and the deadline it
// carries itself.
struct ReadBody {
  Receipt receipt;
  std::optional<std::string> deadline;
};

std::optional<FormProblem> Read(const Submission& submission, ReadBody* read) {
  std::string fiskal_txt;
  if (submission.json) {
    if (auto p = JsonToFiskalTxt(submission.body, &fiskal_txt, &read->deadline)) return p;
  }
  return PrepareFromText(submission.json ? fiskal_txt : submission.body, submission.json,
                         &read->receipt);
}

// The refusal of a request under a key that belongs to receipt `stored`
// whose body does not make that receipt (service/journal/same_receipt.h), or
// nothing when it does. It never says that nothing was sent, or that the
// key is free: receipt `stored` may well have printed.
std::optional<Outcome> NotTheSameReceipt(const Submission& submission,
                                         const StoredReceipt& stored) {
  const std::string belongs =
      "this Idempotency-Key belongs to receipt " + std::to_string(stored.id);
  const std::string rule = "; a retry must send the same receipt (the same port and texts, in "
                           "either form); a new sale needs a new key";
  ReadBody read;
  if (auto p = Read(submission, &read)) {
    return Problem(422, belongs + "; this body is not a receipt (" + p->reason +
                            "), so it is no retry of it" + rule,
                   WhereIn(*p, {{"receipt", stored.id}}));
  }
  if (ReceiptFingerprint(read.receipt) == stored.receipt_sha256) return std::nullopt;
  const int port = read.receipt.nPort;
  return Problem(422,
                 belongs + (port != stored.port
                                ? ", which prints on port " + std::to_string(stored.port) +
                                      ", not on port " + std::to_string(port)
                                : std::string(", which prints other texts")) +
                     rule,
                 {{"receipt", stored.id}});
}

// The earliest of the receipt's deadlines into *deadline_ms (0: none), or
// the problem with one of them.
std::optional<Outcome> Deadline(const Submission& submission,
                                const std::optional<std::string>& member,
                                std::int64_t* deadline_ms) {
  std::vector<Submission::Deadline> texts = submission.deadlines;
  if (member) texts.push_back({"deadline", *member});
  std::int64_t earliest = submission.deadline_ms;
  for (const Submission::Deadline& d : texts) {
    std::string why;
    const std::optional<std::int64_t> at = ParseRfc3339(d.text, &why);
    if (!at) {
      const std::string shown = d.text.size() <= 64 ? d.text : d.text.substr(0, 64) + "...";
      std::string detail = d.where + " \"" + shown + "\" is not an RFC 3339 time: ";
      detail += why;
      detail += "; write it as 2026-12-09T14:30:00Z or 2026-12-09T15:30:00.250+01:00; the "
                "receipt was not stored";
      return Problem(400, detail);
    }
    // A time before 1970 has passed as well (0 would mean none).
    const std::int64_t ms = std::max<std::int64_t>(*at, 1);
    earliest = earliest == 0 ? ms : std::min(earliest, ms);
  }
  *deadline_ms = earliest;
  return std::nullopt;
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
    // The same bytes are the same receipt; other bytes may make it too.
    if (stored->body_sha256 != digest) {
      if (auto refused = NotTheSameReceipt(submission, *stored)) return *refused;
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
  ReadBody read;
  if (auto p = Read(submission, &read)) return Problem(p->http_status, p->detail, WhereIn(*p));
  std::int64_t deadline_ms = 0;
  if (auto refused = Deadline(submission, read.deadline, &deadline_ms)) return *refused;
  const Receipt& receipt = read.receipt;
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
  fresh.deadline_ms = deadline_ms;
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

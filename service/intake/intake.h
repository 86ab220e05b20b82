// How a receipt is taken, whoever brings it (a request to the HTTP API, a
// message through the broker): the key's rules, a key that is being
// stored, a key stored already (the same receipt, in whatever form:
// its receipt; another one: refused, naming it), fiskal's rules for the
// body, the receipt's deadline (the earliest of those it carries), the
// ports configured, the queue's bound, the commit and the queue. Written
// here only; the API and the broker client call it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "service/journal/journal.h"
#include "service/printers/printers.h"
#include "service/shutdown.h"

namespace fiskal::service {

// The largest receipt body taken, written here only: an HTTP request's
// body and a broker message's payload are held to it (fiskald gives it to
// the front door as its body bound).
inline constexpr std::size_t kMaxReceiptBytes = std::size_t{1} << 20;

struct IntakeLimits {
  // Receipts queued on one port, places being stored included.
  std::size_t max_queued_per_port = 10000;
  // A receipt's body.
  std::size_t max_body_bytes = kMaxReceiptBytes;
};

// An Idempotency-Key: 1 to 255 visible ASCII characters.
bool ValidKey(std::string_view key);

// A receipt brought to be printed.
struct Submission {
  std::string key;  // checked by ValidKey already
  bool json = false;  // application/json, else text/plain (fiskal.txt)
  std::string body;
  // A deadline as a time already (the broker's Message Expiry), 0: none.
  std::int64_t deadline_ms = 0;
  // Deadlines as RFC 3339 texts from outside the body (the broker's user
  // property "deadline"): where each came from, for messages, and the
  // text. The JSON form's member "deadline" is read from the body.
  struct Deadline {
    std::string where;
    std::string text;
  };
  std::vector<Deadline> deadlines;
  // Where its answers are published (through the broker).
  std::optional<AnswerTo> answer_to;
  // While another request with the key is being stored, wait for it (and
  // answer as it ended) instead of answering 409.
  bool wait_for_key = false;
};

// What became of it: 201 stored now, 200 stored before under its key
// (`id` is the receipt), or the status and detail of a problem.
struct Outcome {
  int status = 0;
  std::int64_t id = 0;
  std::string detail;
  nlohmann::ordered_json extra = nlohmann::ordered_json::object();

  bool stored() const { return status == 200 || status == 201; }
};

class Intake {
 public:
  Intake(Journal& journal, Printers& printers, PortAccess& ports, Shutdown& shutdown,
         IntakeLimits limits = {});

  Outcome Submit(const Submission& submission);

 private:
  Outcome Store(const Submission& submission);

  Journal& journal_;
  Printers& printers_;
  PortAccess& ports_;
  Shutdown& shutdown_;
  IntakeLimits limits_;

  std::mutex keys_mu_;
  std::condition_variable key_freed_;
  std::set<std::string> keys_in_flight_;
};

}  // namespace fiskal::service

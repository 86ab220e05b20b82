// What fiskald does with its journal at start, before any port or
// transport runs: the receipts it stopped while sending are said and
// marked in_doubt (never sent again), the queued ones are listed for their
// ports, and finished ones older than --keep-days are forgotten. The order
// of these steps is written here only (startup.cc says why).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "base/status.h"
#include "service/journal/journal.h"

namespace fiskal::service {

struct Recovered {
  // Receipts found sending (fiskald stopped while sending them), now
  // in_doubt.
  std::int64_t interrupted = 0;
  int in_doubt = 0;
  int purged = 0;
  // The queued receipts (id, port), oldest first: each port's queue.
  std::vector<std::pair<std::int64_t, int>> queued;
};

// Sets the journal's outbox (`answer`, `outbox_changed`: see
// Journal::SetOutbox) first, then recovers as above; `say` gets the line
// about the interrupted receipts. Stops at the first failure, which it
// returns.
Status RecoverAtStart(Journal& journal, int keep_days, AnswerBody answer,
                      std::function<void()> outbox_changed,
                      const std::function<void(const std::string&)>& say, Recovered* recovered);

}  // namespace fiskal::service

// The hold's rules, written here only: how often a port that holds its
// receipts is tried again, where a held receipt's wait is measured from,
// and the words a hold and its end are told in (the reason a port holds,
// a receipt that waited the hold's length or outlived its deadline, one
// the operator gave up on). Pure functions of the hold's state, the time
// and the options; the workers (workers.cc) act on them.
#pragma once

#include <cstdint>
#include <string>

#include "service/journal/journal.h"
#include "service/printers/printers.h"

namespace fiskal::service {

// A held port is tried again every second for the first 10 s of this
// worker's hold, then every 5 s; a port another run holds is looked at as
// often as a lock is waited for (options.lock_retry_seconds) in those
// first 10 s. The pause before the next try, `held_seconds` into the hold.
double HoldRetrySeconds(double held_seconds, bool busy, const PrinterOptions& options);

// Receipts that began to wait before this time (milliseconds since 1970)
// have waited the whole hold at `now_ms`.
std::int64_t HoldStartedBefore(std::int64_t now_ms, const PrinterOptions& options);

// Why a port holds its receipts, as shown and stored:
// "port 2 (/dev/ttyS1): <why>".
std::string HoldReason(int port, const std::string& device, const std::string& why);
// The why of a port whose run lock another run holds.
inline constexpr const char* kHeldByAnotherRun = "held by another run (fiskal, or another fiskald)";

// How a held receipt the journal found overdue at `now_ms` ends: its own
// deadline passed, or it waited the hold's length, for `reason`.
std::string OverdueMessage(const StoredReceipt& receipt, std::int64_t now_ms,
                           const std::string& reason);

// How a held receipt ends when the operator gives up on the port's held
// receipts at `given_up_ms`; one not yet marked as waiting (accepted since
// the last try) waited since it was accepted.
std::string GivenUpMessage(const StoredReceipt& receipt, std::int64_t given_up_ms,
                           const std::string& reason);

}  // namespace fiskal::service

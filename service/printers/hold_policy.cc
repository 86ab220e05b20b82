// The hold's rules (see hold_policy.h).
#include "service/printers/hold_policy.h"

#include "base/time_text.h"

namespace fiskal::service {

namespace {

constexpr double kFirstRetrySeconds = 1;
constexpr double kFirstRetriesFor = 10;
constexpr double kLaterRetrySeconds = 5;

}  // namespace

double HoldRetrySeconds(double held_seconds, bool busy, const PrinterOptions& options) {
  if (held_seconds >= kFirstRetriesFor) return kLaterRetrySeconds;
  return busy ? options.lock_retry_seconds : kFirstRetrySeconds;
}

std::int64_t HoldStartedBefore(std::int64_t now_ms, const PrinterOptions& options) {
  return now_ms - static_cast<std::int64_t>(options.hold_seconds * 1000);
}

std::string HoldReason(int port, const std::string& device, const std::string& why) {
  return "port " + std::to_string(port) + " (" + device + "): " + why;
}

std::string OverdueMessage(const StoredReceipt& receipt, std::int64_t now_ms,
                           const std::string& reason) {
  if (receipt.deadline_ms > 0 && receipt.deadline_ms <= now_ms) {
    return "its deadline (" + Rfc3339(receipt.deadline_ms) + ") passed while it waited for " +
           reason + "; nothing was sent";
  }
  return "waited " + HowLong(now_ms - receipt.waiting_since_ms) + " for " + reason + " (since " +
         TimeOfDay(receipt.waiting_since_ms) + "), the longest it is held; nothing was sent";
}

std::string GivenUpMessage(const StoredReceipt& receipt, std::int64_t given_up_ms,
                           const std::string& reason) {
  const std::int64_t since =
      receipt.waiting_since_ms != 0 ? receipt.waiting_since_ms : receipt.accepted_ms;
  return "given up by the operator after it waited " + HowLong(given_up_ms - since) + " for " +
         reason + " (since " + TimeOfDay(since) + "); nothing was sent";
}

}  // namespace fiskal::service

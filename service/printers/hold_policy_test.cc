// The hold's rules as pure functions: when a held port is tried again,
// where a wait is measured from, and the words a held receipt ends with.

#include "service/printers/hold_policy.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "base/time_text.h"

namespace fiskal::service {
namespace {

TEST(HoldPolicy, TriesAgainEverySecondThenEveryFive) {
  PrinterOptions options;
  options.lock_retry_seconds = 0.25;
  struct Case {
    double held;
    bool busy;
    double pause;
  };
  const Case cases[] = {
      {0, false, 1},   {9.999, false, 1},   {10, false, 5}, {600, false, 5},
      {0, true, 0.25}, {9.999, true, 0.25}, {10, true, 5},  {60, true, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "held " << c.held << " s, busy " << c.busy);
    EXPECT_EQ(HoldRetrySeconds(c.held, c.busy, options), c.pause);
  }
  options.hold_seconds = 60;
  EXPECT_EQ(HoldStartedBefore(100'000, options), 40'000);
  options.hold_seconds = 0.5;
  EXPECT_EQ(HoldStartedBefore(100'000, options), 99'500);
}

TEST(HoldPolicy, HowAHeldReceiptEnds) {
  const std::string reason = HoldReason(2, "/dev/fake2", "No such file or directory");
  EXPECT_EQ(reason, "port 2 (/dev/fake2): No such file or directory");
  const std::int64_t t0 = 1'800'000'000'000;  // some time in 2027
  auto receipt = [&](std::int64_t accepted, std::int64_t waiting_since, std::int64_t deadline) {
    StoredReceipt r;
    r.accepted_ms = accepted;
    r.waiting_since_ms = waiting_since;
    r.deadline_ms = deadline;
    return r;
  };
  struct Case {
    const char* what;
    std::string message;
    std::string expected;
  };
  const Case cases[] = {
      {"waited the hold's length, no deadline",
       OverdueMessage(receipt(t0, t0, 0), t0 + 60'000, reason),
       "waited 1 min for " + reason + " (since " + TimeOfDay(t0) +
           "), the longest it is held; nothing was sent"},
      {"a deadline still ahead: the hold ended it",
       OverdueMessage(receipt(t0, t0, t0 + 61'000), t0 + 60'000, reason),
       "waited 1 min for " + reason + " (since " + TimeOfDay(t0) +
           "), the longest it is held; nothing was sent"},
      {"its deadline passed, at the very moment",
       OverdueMessage(receipt(t0, t0, t0 + 3'000), t0 + 3'000, reason),
       "its deadline (" + Rfc3339(t0 + 3'000) + ") passed while it waited for " + reason +
           "; nothing was sent"},
      {"given up on after it was marked as waiting",
       GivenUpMessage(receipt(t0 - 5'000, t0, 0), t0 + 40'000, reason),
       "given up by the operator after it waited 40 s for " + reason + " (since " +
           TimeOfDay(t0) + "); nothing was sent"},
      {"given up on before it was marked: since it was accepted",
       GivenUpMessage(receipt(t0, 0, 0), t0 + std::int64_t{15} * 60'000, reason),
       "given up by the operator after it waited 15 min for " + reason + " (since " +
           TimeOfDay(t0) + "); nothing was sent"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.message, c.expected);
  }
}

}  // namespace
}  // namespace fiskal::service

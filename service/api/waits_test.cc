#include "service/api/waits.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace fiskal::service {
namespace {

// Waits until `done` or a minute passes (a guard against a hang).
bool Eventually(const std::function<bool()>& done) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Each wait ends once: by its receipt's end, by its time, or by stopping;
// waits of other receipts stay.
TEST(Waits, EachEndsOnceForItsOwnReason) {
  Waits waits(3);
  std::atomic<int> a{0}, b{0}, timed{0}, rest{0};
  ASSERT_TRUE(waits.Add(1, 3600, [&] { ++a; }));
  ASSERT_TRUE(waits.Add(2, 3600, [&] { ++b; }));
  ASSERT_TRUE(waits.Add(3, 0.01, [&] { ++timed; }));
  EXPECT_FALSE(waits.Add(4, 3600, [&] { ++rest; }));  // more than 3 at once

  waits.Finished(1);
  ASSERT_TRUE(Eventually([&] { return a == 1 && timed == 1; }));
  waits.Finished(1);  // ended already
  waits.Finished(9);  // nobody waits for it
  EXPECT_EQ(b, 0);
  EXPECT_EQ(waits.size(), 1u);

  ASSERT_TRUE(waits.Add(4, 3600, [&] { ++rest; }));
  waits.EndAll();
  ASSERT_TRUE(Eventually([&] { return b == 1 && rest == 1; }));
  EXPECT_FALSE(waits.Add(5, 3600, [&] { ++rest; }));  // stopping: answer at once
  waits.Stop();
  EXPECT_EQ(a + b + timed + rest, 4);
}

}  // namespace
}  // namespace fiskal::service

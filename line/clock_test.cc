#include "line/clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>

namespace fiskal {
namespace {

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Only the lower bound is checked: a sleep may run long on a busy machine,
// but it must never be short.
TEST(MonotonicClock, NeverReturnsEarly) {
  for (double seconds : {0.0, 0.001, 0.02, 0.05}) {
    const double start = Now();
    ASSERT_TRUE(MonotonicClock().Sleep(seconds).ok());
    EXPECT_GE(Now() - start, seconds);
  }
}

TEST(MonotonicClock, NegativeOrNaNReturnsAtOnce) {
  EXPECT_TRUE(MonotonicClock().Sleep(-1).ok());
  EXPECT_TRUE(MonotonicClock().Sleep(std::numeric_limits<double>::quiet_NaN()).ok());
}

}  // namespace
}  // namespace fiskal

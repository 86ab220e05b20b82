#include "line/clock.h"

#include <gtest/gtest.h>

#include <limits>

#include "testing/now.h"

namespace fiskal {
namespace {

// Only the lower bound is checked: a sleep may run long on a busy machine,
// but it must never be short.
TEST(MonotonicClock, NeverReturnsEarly) {
  for (double seconds : {0.0, 0.001, 0.02, 0.05}) {
    const double start = testing::MonotonicNow();
    ASSERT_TRUE(MonotonicClock().Sleep(seconds, NeverStop()).ok());
    EXPECT_GE(testing::MonotonicNow() - start, seconds);
  }
}

TEST(MonotonicClock, NegativeOrNaNReturnsAtOnce) {
  EXPECT_TRUE(MonotonicClock().Sleep(-1, NeverStop()).ok());
  EXPECT_TRUE(
      MonotonicClock().Sleep(std::numeric_limits<double>::quiet_NaN(), NeverStop()).ok());
}

}  // namespace
}  // namespace fiskal

#include "protocol/pacing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace fiskal {
namespace {

constexpr TextKind V = TextKind::kVersion;
constexpr TextKind B = TextKind::kBegin;
constexpr TextKind I = TextKind::kItem;
constexpr TextKind E = TextKind::kEnd;

// A text read at exact times: first and last byte at `at`.
TimedText At(TextKind kind, double at) { return {kind, at, at, at}; }

TEST(Pauses, AfterEveryBeginAndItemFrameTooSoonByTheLongestReading) {
  constexpr double kAllowance = 0.005;
  struct Case {
    const char* what;
    std::vector<TimedText> texts;
    std::vector<Pause> pauses;  // after, seconds, longest, too_soon
  };
  const Case cases[] = {
      {"paced: none after the version text or the end frame",
       {At(V, 10.0), At(B, 10.001), At(I, 10.502), At(I, 11.003), At(E, 11.504)},
       {{2, 0.501, 0.501, false}, {3, 0.501, 0.501, false}, {4, 0.501, 0.501, false}}},
      {"an item frame too soon, and an end frame",
       {At(V, 0), At(B, 0), At(I, 0.3), At(E, 0.5)},
       {{2, 0.3, 0.3, true}, {3, 0.2, 0.2, true}}},
      {"short within the allowance, and just beyond it",
       {At(B, 0), At(I, 0.496), At(I, 0.990)},
       {{1, 0.496, 0.496, false}, {2, 0.494, 0.494, true}}},
      // The frame's last byte was read at 1.0 but the line was last seen
      // quiet at 0.95: it may have come then, so the pause may have been
      // 0.5 s.
      {"a frame read late is not a pause too short",
       {At(V, 0.9), {B, 0.95, 1.0, 0.95}, At(I, 1.45)},
       {{2, 0.45, 0.5, false}}},
      {"the last byte's earliest counts, not the first byte's",
       {{I, 0.0, 0.2, 0.1}, At(E, 0.55)},
       {{1, 0.35, 0.45, true}}},
      {"any text ends a pause; a text after the end frame has none before it",
       {At(B, 0), At(TextKind::kStray, 0.1), At(E, 0.2), At(B, 0.3)},
       {{1, 0.1, 0.1, true}}},
      {"a frame not yet followed by a text", {At(V, 0), At(B, 0)}, {}},
      {"nothing", {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<Pause> got = Pauses(c.texts, kAllowance);
    ASSERT_EQ(got.size(), c.pauses.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(got[i].after, c.pauses[i].after);
      EXPECT_NEAR(got[i].seconds, c.pauses[i].seconds, 1e-9);
      EXPECT_NEAR(got[i].longest, c.pauses[i].longest, 1e-9);
      EXPECT_EQ(got[i].too_soon, c.pauses[i].too_soon);
    }
  }
  EXPECT_EQ(PauseProblem({2, 0.25, 0.3124, true}),
            "text 3: came 0.312 s after the frame before it; the printer needs 0.5 s");
}

TEST(ArrivalLog, TextsTakeTheTimesOfTheReadsThatBroughtThem) {
  ArrivalLog log;
  log.Quiet(10.0);
  log.Read(5, 10.2);  // bytes 0..4
  log.Quiet(10.9);
  log.Read(3, 11.0);  // bytes 5..7
  const TimedText whole = log.Time({"abcd", 0}, B);
  EXPECT_EQ(whole.kind, B);
  EXPECT_EQ(whole.first, 10.2);
  EXPECT_EQ(whole.last, 10.2);
  EXPECT_EQ(whole.last_earliest, 10.0);
  const TimedText split = log.Time({"efgh", 4}, I);
  EXPECT_EQ(split.first, 10.2);
  EXPECT_EQ(split.last, 11.0);
  EXPECT_EQ(split.last_earliest, 10.9);
}

}  // namespace
}  // namespace fiskal

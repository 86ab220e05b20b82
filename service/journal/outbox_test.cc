// The outbox against a real SQLite file in a temporary folder: an answer
// stored with each change that someone waits for, in order, kept until
// the broker has it.

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "service/journal/journal.h"
#include "service/journal/journal_test.h"

namespace fiskal::service {
namespace {

using namespace journal_test;

// Answers through the broker: each change of a receipt that someone waits
// for stores its answer with the change, in order; a receipt nobody waits
// for through the broker stores none; delivered answers are forgotten.
TEST(Journal, OutboxHoldsAnAnswerForEachChange) {
  Open j;
  int changed = 0;
  j.journal->SetOutbox([](const StoredReceipt& r) { return "#" + std::to_string(r.id) + " " +
                                                           std::string(StateName(r.state)); },
                       [&] { ++changed; });
  NewReceipt waited = Receipt("mqtt-1");
  waited.answer_to = AnswerTo{"fiskal/A/answers", "mqtt-1"};
  waited.deadline_ms = 5'000'000;
  std::int64_t a = 0, b = 0;
  bool duplicate = false;
  ASSERT_TRUE(j.journal->Accept(waited, nullptr, &a, &duplicate).ok());
  ASSERT_TRUE(j.journal->Accept(Receipt("http-1"), nullptr, &b, &duplicate).ok());
  ASSERT_TRUE(j.journal->MarkSending(b).ok());
  ASSERT_TRUE(j.journal->MarkSending(a).ok());
  ASSERT_TRUE(j.journal->Finish(a, State::kPrinted, "").ok());
  // Found again under its key, from another topic: answered at once there.
  ASSERT_TRUE(j.journal->AddAnswerTo(a, {"fiskal/A/other", "mqtt-1"}).ok());
  OutboxAnswer refusal;
  refusal.topic = "fiskal/A/states";
  refusal.correlation = "bad";
  refusal.content_type = "application/problem+json";
  refusal.payload = "{}";
  ASSERT_TRUE(j.journal->StoreAnswer(refusal).ok());
  EXPECT_EQ(changed, 5);

  j.Reopen();  // the outbox is durable
  std::vector<OutboxAnswer> out;
  ASSERT_TRUE(j.journal->Outbox(0, 100, &out).ok());
  const std::string id = "#" + std::to_string(a);
  struct Row {
    std::string topic, state, payload;
  };
  const std::vector<Row> expected = {{"fiskal/A/answers", "queued", id + " queued"},
                                     {"fiskal/A/answers", "sending", id + " sending"},
                                     {"fiskal/A/answers", "printed", id + " printed"},
                                     {"fiskal/A/other", "printed", id + " printed"},
                                     {"fiskal/A/states", "", "{}"}};
  ASSERT_EQ(out.size(), expected.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(out[i].topic, expected[i].topic);
    EXPECT_EQ(out[i].state, expected[i].state);
    // Without a body maker (after the reopen), nothing more is answered,
    // but what was stored stays.
    EXPECT_EQ(out[i].payload, expected[i].payload);
    if (i > 0) {
      EXPECT_GT(out[i].seq, out[i - 1].seq);
    }
  }
  EXPECT_EQ(out[0].correlation, "mqtt-1");
  EXPECT_EQ(out[0].content_type, "application/json");
  std::optional<StoredReceipt> r;
  ASSERT_TRUE(j.journal->Get(a, &r).ok());
  EXPECT_EQ(r->deadline_ms, 5'000'000);

  ASSERT_TRUE(j.journal->Delivered({out[0].seq, out[2].seq}).ok());
  std::vector<OutboxAnswer> left;
  ASSERT_TRUE(j.journal->Outbox(0, 100, &left).ok());
  ASSERT_EQ(left.size(), 3u);
  EXPECT_EQ(left[0].seq, out[1].seq);
  std::int64_t size = 0;
  ASSERT_TRUE(j.journal->OutboxSize(&size).ok());
  EXPECT_EQ(size, 3);
  left.clear();
  ASSERT_TRUE(j.journal->Outbox(out[3].seq, 100, &left).ok());
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].seq, out[4].seq);

  // Answers no broker took are forgotten with the receipts of their days.
  int removed = 0;
  ASSERT_TRUE(j.journal->Purge(30, &removed).ok());
  ASSERT_TRUE(j.journal->OutboxSize(&size).ok());
  EXPECT_EQ(size, 3);
  j.now += std::int64_t{31} * 24 * 3600 * 1000;
  ASSERT_TRUE(j.journal->Purge(30, &removed).ok());
  ASSERT_TRUE(j.journal->OutboxSize(&size).ok());
  EXPECT_EQ(size, 0);
}

}  // namespace
}  // namespace fiskal::service

// fiskald's start on a real journal in a temporary folder: what it says,
// what it marks in_doubt (answered through the outbox it sets first), what
// it hands the ports, and what it forgets.

#include "service/startup.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "testing/temp_dir.h"

namespace fiskal::service {
namespace {

constexpr std::int64_t kDayMs = std::int64_t{24} * 3600 * 1000;

struct Open {
  testing::TempDir dir;
  std::int64_t now = 1'000'000;
  std::unique_ptr<Journal> journal;
  Open() {
    const Status s = Journal::Open(dir.File("j.db"), [this] { return now; }, &journal);
    EXPECT_TRUE(s.ok()) << s.message();
  }
  std::int64_t Accept(const std::string& key, int port, bool answered = false) {
    NewReceipt r;
    r.idempotency_key = key;
    r.body_sha256 = std::string(32, 'h');
    r.port = port;
    r.texts = {{"ver.:0.6a", "version text", false, false}};
    if (answered) r.answer_to = AnswerTo{"fiskal/A/answers", key};
    std::int64_t id = 0;
    bool duplicate = false;
    const Status s = journal->Accept(r, nullptr, &id, &duplicate);
    EXPECT_TRUE(s.ok()) << s.message();
    return id;
  }
};

TEST(Startup, SaysMarksRequeuesAndPurgesInThatOrder) {
  struct Case {
    const char* name;
    int sending;               // receipts left sending (each answered through the broker)
    std::vector<int> queued;   // the ports of queued receipts, in order
    bool finished_long_ago;    // a printed receipt past --keep-days
    const char* said;          // nullptr: nothing
  };
  const Case cases[] = {
      {"an empty journal", 0, {}, false, nullptr},
      {"queued only", 0, {2, 1, 2}, false, nullptr},
      {"one left sending", 1, {}, true,
       "1 receipt(s) were being sent when fiskald stopped; they are in_doubt and are not sent "
       "again: resolve them once the printer has been looked at"},
      {"two left sending, queued ones, an old one", 2, {1, 3}, true,
       "2 receipt(s) were being sent when fiskald stopped; they are in_doubt and are not sent "
       "again: resolve them once the printer has been looked at"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Open j;
    if (c.finished_long_ago) {
      const std::int64_t old = j.Accept("old", 1);
      ASSERT_TRUE(j.journal->Finish(old, State::kPrinted, "").ok());
      j.now += 31 * kDayMs;
    }
    std::vector<std::int64_t> sending;
    for (int i = 0; i < c.sending; ++i) {
      sending.push_back(j.Accept("sending-" + std::to_string(i), 1, true));
      ASSERT_TRUE(j.journal->MarkSending(sending.back()).ok());
    }
    std::vector<std::pair<std::int64_t, int>> queued;
    for (std::size_t i = 0; i < c.queued.size(); ++i) {
      const int port = c.queued[i];
      queued.emplace_back(j.Accept("queued-" + std::to_string(i), port), port);
    }

    std::vector<std::string> said;
    int changed = 0;
    Recovered r;
    const Status s = RecoverAtStart(
        *j.journal, 30,
        [](const StoredReceipt& receipt) {
          return "#" + std::to_string(receipt.id) + " " + std::string(StateName(receipt.state));
        },
        [&changed] { ++changed; }, [&said](const std::string& line) { said.push_back(line); },
        &r);
    ASSERT_TRUE(s.ok()) << s.message();

    EXPECT_EQ(r.interrupted, c.sending);
    EXPECT_EQ(r.in_doubt, c.sending);
    EXPECT_EQ(r.purged, c.finished_long_ago ? 1 : 0);
    EXPECT_EQ(r.queued, queued);
    if (c.said == nullptr) {
      EXPECT_TRUE(said.empty()) << said.front();
    } else {
      EXPECT_EQ(said, std::vector<std::string>{c.said});
    }
    for (std::int64_t id : sending) {
      std::optional<StoredReceipt> stored;
      ASSERT_TRUE(j.journal->Get(id, &stored).ok());
      ASSERT_TRUE(stored.has_value());
      EXPECT_EQ(stored->state, State::kInDoubt);
    }
    // The outbox was set before the marking: each in_doubt is answered,
    // with the body made by it.
    std::vector<OutboxAnswer> out;
    ASSERT_TRUE(j.journal->Outbox(0, 100, &out).ok());
    std::vector<std::string> in_doubt_answers;
    for (const OutboxAnswer& a : out) {
      if (a.state == "in_doubt") in_doubt_answers.push_back(a.payload);
    }
    std::vector<std::string> expected;
    expected.reserve(sending.size());
    for (std::int64_t id : sending) expected.push_back("#" + std::to_string(id) + " in_doubt");
    EXPECT_EQ(in_doubt_answers, expected);
    EXPECT_EQ(changed > 0, c.sending > 0);

    // A second start finds nothing left sending and says nothing.
    said.clear();
    ASSERT_TRUE(RecoverAtStart(*j.journal, 30, [](const StoredReceipt&) { return ""; }, nullptr,
                               [&said](const std::string& line) { said.push_back(line); }, &r)
                    .ok());
    EXPECT_TRUE(said.empty());
    EXPECT_EQ(r.interrupted, 0);
    EXPECT_EQ(r.queued, queued);
  }
}

}  // namespace
}  // namespace fiskal::service

// The journal's receipts against a real SQLite file in a temporary folder:
// accepted by many writers at once (the group commit), their states, an
// interrupted send, the purge, and receipts held for their port. The
// journal's files, its outbox and its upgrades are tested beside it
// (identity_test.cc, outbox_test.cc, schema_test.cc).

#include "service/journal/journal.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "service/journal/journal_test.h"

namespace fiskal::service {
namespace {

using namespace journal_test;

// Many writers at once are committed together, each in its order; a key
// is taken once; everything survives a reopen.
TEST(Journal, ConcurrentAcceptsEachCommittedOnce) {
  Open j;
  std::vector<std::int64_t> committed;
  std::mutex mu;
  std::vector<std::thread> threads;
  threads.reserve(40);
  std::atomic<int> duplicates{0};
  for (int i = 0; i < 40; ++i) {
    threads.emplace_back([&, i] {
      std::int64_t id = 0;
      bool duplicate = false;
      const Status s = j.journal->Accept(
          Receipt("key-" + std::to_string(i % 20)),
          [&](std::int64_t new_id) {
            std::lock_guard<std::mutex> lock(mu);
            committed.push_back(new_id);
          },
          &id, &duplicate);
      if (duplicate) ++duplicates;
      EXPECT_TRUE(s.ok() || duplicate) << s.message();
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(duplicates.load(), 20);
  ASSERT_EQ(committed.size(), 20u);
  // Commit callbacks come in the order of the ids: the queue order.
  EXPECT_TRUE(std::is_sorted(committed.begin(), committed.end()));

  j.Reopen();
  std::vector<std::pair<std::int64_t, int>> queued;
  ASSERT_TRUE(j.journal->Queued(&queued).ok());
  EXPECT_EQ(queued.size(), 20u);
  std::optional<StoredReceipt> r;
  ASSERT_TRUE(j.journal->FindByKey("key-3", &r).ok());
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->texts.size(), 2u);
  EXPECT_EQ(r->texts[1].bytes, "\x1bP0;0$h88\x1b\\");
  EXPECT_TRUE(r->texts[1].pause_after);

#ifndef _WIN32
  struct stat st {};
  ASSERT_EQ(::stat(j.dir.File("j.db").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
#endif
}

TEST(Journal, StatesInterruptedSendsAndPurge) {
  Open j;
  std::int64_t printed = 0, sending = 0, cut = 0;
  bool dup = false;
  ASSERT_TRUE(j.journal->Accept(Receipt("a"), {}, &printed, &dup).ok());
  ASSERT_TRUE(j.journal->Accept(Receipt("b"), {}, &sending, &dup).ok());
  ASSERT_TRUE(j.journal->Accept(Receipt("c"), {}, &cut, &dup).ok());
  for (std::int64_t id : {printed, sending, cut}) ASSERT_TRUE(j.journal->MarkSending(id).ok());
  EXPECT_FALSE(j.journal->MarkSending(printed).ok());  // only from queued
  ASSERT_TRUE(j.journal->MarkTextSent(printed, 0).ok());
  ASSERT_TRUE(j.journal->MarkTextSent(printed, 1).ok());
  EXPECT_FALSE(j.journal->MarkTextSent(printed, 2).ok());
  ASSERT_TRUE(j.journal->Finish(printed, State::kPrinted, "").ok());
  ASSERT_TRUE(j.journal->MarkTextSent(sending, 0).ok());
  ASSERT_TRUE(j.journal->Finish(cut, State::kCut, "port failed").ok());

  // A restart finds "b" sending: in doubt, never queued again.
  j.Reopen();
  int in_doubt = 0;
  ASSERT_TRUE(j.journal->MarkInterruptedInDoubt(&in_doubt).ok());
  EXPECT_EQ(in_doubt, 1);
  std::optional<StoredReceipt> r;
  ASSERT_TRUE(j.journal->Get(sending, &r).ok());
  EXPECT_EQ(r->state, State::kInDoubt);
  EXPECT_EQ(r->texts_sent(), 1);
  std::vector<std::pair<std::int64_t, int>> queued;
  ASSERT_TRUE(j.journal->Queued(&queued).ok());
  EXPECT_TRUE(queued.empty());

  bool found = false, conflict = false;
  ASSERT_TRUE(j.journal->Resolve(printed, true, &found, &conflict).ok());
  EXPECT_TRUE(found && conflict);
  ASSERT_TRUE(j.journal->Resolve(cut, false, &found, &conflict).ok());
  EXPECT_TRUE(found && !conflict);
  // The message says what was decided, no longer what to do.
  ASSERT_TRUE(j.journal->Get(cut, &r).ok());
  EXPECT_EQ(r->state, State::kResolvedNotPrinted);
  EXPECT_EQ(r->message, kResolvedNotPrintedMessage);
  ASSERT_TRUE(j.journal->Resolve(999, false, &found, &conflict).ok());
  EXPECT_FALSE(found);

  // Past the keeping time the finished ones go, and their keys are free;
  // the one in doubt stays until someone decides.
  j.now += std::int64_t{31} * 24 * 3600 * 1000;
  int removed = 0;
  ASSERT_TRUE(j.journal->Purge(30, &removed).ok());
  EXPECT_EQ(removed, 2);
  ASSERT_TRUE(j.journal->Get(sending, &r).ok());
  EXPECT_TRUE(r.has_value());
  std::int64_t again = 0;
  EXPECT_TRUE(j.journal->Accept(Receipt("a"), {}, &again, &dup).ok());
  EXPECT_GT(again, cut);  // ids are never reused

  // The one in doubt, resolved, says so instead of asking for it.
  ASSERT_TRUE(j.journal->Get(sending, &r).ok());
  EXPECT_NE(r->message.find("resolve it"), std::string::npos) << r->message;
  ASSERT_TRUE(j.journal->Resolve(sending, true, &found, &conflict).ok());
  ASSERT_TRUE(j.journal->Get(sending, &r).ok());
  EXPECT_EQ(r->state, State::kResolvedPrinted);
  EXPECT_EQ(r->message, kResolvedPrintedMessage);
}

// Receipts held for their port: the first failed try is kept through
// later tries and a reopen; the overdue are those held the hold's length
// or past their own deadline, and ending them leaves every other receipt.
TEST(Journal, HeldReceiptsKeepTheirFirstTry) {
  Open j;
  auto accept = [&](const std::string& key, int port, std::int64_t deadline_ms) {
    NewReceipt r = Receipt(key, port);
    r.deadline_ms = deadline_ms;
    std::int64_t id = 0;
    bool duplicate = false;
    EXPECT_TRUE(j.journal->Accept(r, nullptr, &id, &duplicate).ok());
    return id;
  };
  const std::int64_t early = accept("early", 1, 0);
  const std::int64_t other_port = accept("other", 2, 0);
  std::int64_t since = 0;
  ASSERT_TRUE(j.journal->MarkWaiting(1, "port 1 (/dev/x): gone", &since).ok());
  EXPECT_EQ(since, 1'000'000);
  j.now += 60'000;
  const std::int64_t later = accept("later", 1, 0);
  const std::int64_t expiring = accept("expiring", 1, j.now + 5'000);
  ASSERT_TRUE(j.journal->MarkWaiting(1, "port 1 (/dev/x): still gone", &since).ok());
  EXPECT_EQ(since, 1'000'000);  // the oldest's first try
  j.Reopen();

  std::optional<StoredReceipt> r;
  ASSERT_TRUE(j.journal->Get(early, &r).ok());
  EXPECT_EQ(r->waiting_since_ms, 1'000'000);
  EXPECT_EQ(r->waiting_reason, "port 1 (/dev/x): still gone");
  ASSERT_TRUE(j.journal->Get(later, &r).ok());
  EXPECT_EQ(r->waiting_since_ms, 1'060'000);
  ASSERT_TRUE(j.journal->Get(other_port, &r).ok());
  EXPECT_EQ(r->waiting_since_ms, 0);

  struct Case {
    std::int64_t now;
    std::int64_t hold_ms;
    std::vector<std::int64_t> overdue;
  };
  for (const Case& c : {Case{1'060'000, 90'000, {}}, Case{1'090'000, 90'000, {early, expiring}},
                        Case{1'065'000, 90'000, {expiring}},
                        Case{1'150'000, 90'000, {early, later, expiring}}}) {
    std::vector<std::int64_t> ids;
    ASSERT_TRUE(j.journal->Overdue(1, c.now - c.hold_ms, c.now, &ids).ok());
    EXPECT_EQ(ids, c.overdue) << "at " << c.now;
  }

  std::vector<std::int64_t> ended;
  ASSERT_TRUE(j.journal
                  ->FinishQueued({early, other_port}, State::kNotSent,
                                 [](const StoredReceipt& s) { return "ended " + s.idempotency_key; },
                                 &ended)
                  .ok());
  EXPECT_EQ(ended, (std::vector<std::int64_t>{early, other_port}));
  // Ended already: not again.
  ASSERT_TRUE(j.journal->FinishQueued({early}, State::kNotSent,
                                      [](const StoredReceipt&) { return "twice"; }, &ended)
                  .ok());
  EXPECT_TRUE(ended.empty());
  ASSERT_TRUE(j.journal->Get(early, &r).ok());
  EXPECT_EQ(r->state, State::kNotSent);
  EXPECT_EQ(r->message, "ended early");
  std::vector<std::int64_t> queued;
  ASSERT_TRUE(j.journal->QueuedOn(1, &queued).ok());
  EXPECT_EQ(queued, (std::vector<std::int64_t>{later, expiring}));

  // The port took one: the rest no longer wait, their first try kept.
  ASSERT_TRUE(j.journal->EndWaiting(1).ok());
  ASSERT_TRUE(j.journal->MarkSending(later).ok());
  ASSERT_TRUE(j.journal->Get(expiring, &r).ok());
  EXPECT_EQ(r->waiting_reason, "");
  EXPECT_EQ(r->waiting_since_ms, 1'060'000);
}

}  // namespace
}  // namespace fiskal::service

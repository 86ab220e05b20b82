// The journal against a real SQLite file in a temporary folder.

#include "service/journal/journal.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <filesystem>

#include <functional>
#include <thread>
#include <vector>

#include "service/journal/same_receipt.h"
#include "testing/old_journal.h"
#include "testing/temp_dir.h"

namespace fiskal::service {
namespace {

using testing::TempDir;

NewReceipt Receipt(const std::string& key, int port = 0) {
  NewReceipt r;
  r.idempotency_key = key;
  r.body_sha256 = std::string(32, 'h');
  r.port = port;
  r.texts = {{"ver.:0.6a", "version text", false, false},
             {"\x1bP0;0$h88\x1b\\", "begin frame", true, false}};
  return r;
}

struct Open {
  TempDir dir;
  std::int64_t now = 1'000'000;
  std::unique_ptr<Journal> journal;
  explicit Open() { Reopen(); }
  void Reopen() {
    journal.reset();
    const Status s = Journal::Open(dir.File("j.db"), [this] { return now; }, &journal);
    ASSERT_TRUE(s.ok()) << s.message();
  }
};

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
}

// Runs SQL on a database of the test's own.
void Sql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
      << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);
}

// A file that is not a journal of this fiskald is refused, and left byte
// for byte as it was: nothing converted, nothing created in its place.
TEST(Journal, RefusesWhatIsNotItsJournalWithoutWritingToIt) {
  TempDir dir;
  struct Case {
    const char* what;
    std::function<void(const std::string&)> make;
    const char* says;
  };
  const Case cases[] = {
      {"an empty file", [](const std::string& p) { testing::WriteAll(p, ""); }, "is empty"},
      {"a text file",
       [](const std::string& p) { testing::WriteAll(p, std::string(4096, 'x')); },
       "not a database"},
      {"another program's database",
       [](const std::string& p) { Sql(p, "CREATE TABLE t(x); INSERT INTO t VALUES(1);"); },
       "another program"},
      {"another program's database in WAL mode",
       [](const std::string& p) {
         Sql(p, "PRAGMA journal_mode=WAL; CREATE TABLE t(x); PRAGMA application_id=7;");
       },
       "another program"},
      {"a journal of a newer fiskald",
       [](const std::string& p) {
         Sql(p, "CREATE TABLE t(x); PRAGMA application_id=1179863884; PRAGMA user_version=99;");
       },
       "newer fiskald"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir.File("j" + std::to_string(++n) + ".db");
    c.make(path);
    const std::string before = testing::ReadAll(path);
    std::unique_ptr<Journal> journal;
    const Status s = Journal::Open(path, SystemWallClock(), &journal);
    ASSERT_FALSE(s.ok());
    EXPECT_NE(s.message().find(path), std::string::npos) << s.message();
    EXPECT_NE(s.message().find(c.says), std::string::npos) << s.message();
    EXPECT_EQ(testing::ReadAll(path), before);
  }
  // A folder that does not exist is named.
  std::unique_ptr<Journal> journal;
  const Status s = Journal::Open(dir.File("missing/j.db"), SystemWallClock(), &journal);
  EXPECT_FALSE(s.ok());
  EXPECT_NE(s.message().find("missing/j.db"), std::string::npos) << s.message();
}

// One journal, one fiskald: a second open is refused while the first
// holds it, and goes through once it is closed.
TEST(Journal, LockedWhileOpen) {
  Open j;
  std::int64_t id = 0;
  bool dup = false;
  ASSERT_TRUE(j.journal->Accept(Receipt("a"), {}, &id, &dup).ok());
  std::unique_ptr<Journal> second;
  const Status s = Journal::Open(j.dir.File("j.db"), SystemWallClock(), &second);
  ASSERT_FALSE(s.ok());
  EXPECT_NE(s.message().find("in use by another fiskald"), std::string::npos) << s.message();
  std::optional<StoredReceipt> r;
  ASSERT_TRUE(j.journal->Get(id, &r).ok());
  EXPECT_TRUE(r.has_value());  // the first one was not disturbed
  j.journal.reset();
  EXPECT_TRUE(Journal::Open(j.dir.File("j.db"), SystemWallClock(), &second).ok());
}

// A new journal appears at its path whole or not at all: what a crash
// left while one was made is cleared away by the next start.
TEST(Journal, MadeWholeBeforeItHasItsName) {
  TempDir dir;
  const std::string path = dir.File("j.db");
  const std::string half = path + ".new-" + std::to_string(getpid());
  testing::WriteAll(half, "");
  std::unique_ptr<Journal> journal;
  ASSERT_TRUE(Journal::Open(path, SystemWallClock(), &journal).ok());
  EXPECT_FALSE(std::filesystem::exists(half));
  std::int64_t id = 0;
  bool dup = false;
  ASSERT_TRUE(journal->Accept(Receipt("a"), {}, &id, &dup).ok());
  journal.reset();
  ASSERT_TRUE(Journal::Open(path, SystemWallClock(), &journal).ok());
  std::optional<StoredReceipt> r;
  ASSERT_TRUE(journal->FindByKey("a", &r).ok());
  EXPECT_TRUE(r.has_value());
}

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

// A journal of the version before the broker is brought to this one, its
// receipts and keys kept.
TEST(Journal, AnOlderJournalIsBroughtUpToDate) {
  TempDir dir;
  const std::string path = dir.File("old.db");
  Sql(path, R"sql(
    CREATE TABLE receipts(id INTEGER PRIMARY KEY AUTOINCREMENT,
      idempotency_key TEXT NOT NULL UNIQUE, body_sha256 BLOB NOT NULL, state TEXT NOT NULL,
      port INTEGER NOT NULL, device TEXT NOT NULL, message TEXT NOT NULL DEFAULT '',
      accepted_ms INTEGER NOT NULL, finished_ms INTEGER NOT NULL DEFAULT 0);
    CREATE INDEX receipts_by_state ON receipts(state, id);
    CREATE TABLE texts(receipt_id INTEGER NOT NULL REFERENCES receipts(id) ON DELETE CASCADE,
      seq INTEGER NOT NULL, bytes BLOB NOT NULL, label TEXT NOT NULL,
      pause_after INTEGER NOT NULL, sent INTEGER NOT NULL DEFAULT 0,
      PRIMARY KEY(receipt_id, seq)) WITHOUT ROWID;
    CREATE TABLE health(id INTEGER PRIMARY KEY CHECK (id = 1), checked_ms INTEGER NOT NULL);
    INSERT INTO health VALUES(1, 0);
    INSERT INTO receipts(idempotency_key, body_sha256, state, port, device, accepted_ms)
      VALUES('old-1', x'00', 'printed', 0, '', 7);
    PRAGMA application_id=1179863884; PRAGMA user_version=1;)sql");
  std::unique_ptr<Journal> journal;
  const Status s = Journal::Open(path, SystemWallClock(), &journal);
  ASSERT_TRUE(s.ok()) << s.message();
  std::optional<StoredReceipt> r;
  ASSERT_TRUE(journal->FindByKey("old-1", &r).ok());
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->state, State::kPrinted);
  EXPECT_EQ(r->deadline_ms, 0);
  std::int64_t size = -1;
  ASSERT_TRUE(journal->OutboxSize(&size).ok());
  EXPECT_EQ(size, 0);
  journal.reset();
  ASSERT_TRUE(Journal::Open(path, SystemWallClock(), &journal).ok());  // and again
}

// Three receipts of a version-3 journal: one printed, one queued, one
// with no texts.
std::vector<testing::OldReceipt> OldReceipts() {
  return {{"old-printed", std::string(32, 'a'), "printed", 1, {"ver.:0.6a", "\x1bP0;0$h88\x1b\\"}},
          {"old-queued", std::string(32, 'b'), "queued", 0, {"ver.:0.6a", std::string("a\0b", 3)}},
          {"old-empty", std::string(32, 'c'), "not_sent", 2, {}}};
}

std::vector<std::string> Tables(const std::string& path) {
  std::vector<std::string> rows;
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  sqlite3_exec(
      db, "PRAGMA user_version",
      [](void* out, int, char** values, char**) {
        static_cast<std::vector<std::string>*>(out)->push_back(std::string("version ") + values[0]);
        return 0;
      },
      &rows, nullptr);
  sqlite3_exec(
      db, "SELECT name FROM pragma_table_info('receipts') WHERE name = 'receipt_sha256'",
      [](void* out, int, char** values, char**) {
        static_cast<std::vector<std::string>*>(out)->push_back(values[0]);
        return 0;
      },
      &rows, nullptr);
  sqlite3_close(db);
  return rows;
}

// Receipts stored by version 3 get their fingerprint from their port and
// texts; every key, state and text is kept.
void ExpectUpgraded(const std::string& path) {
  std::unique_ptr<Journal> journal;
  const Status s = Journal::Open(path, SystemWallClock(), &journal);
  ASSERT_TRUE(s.ok()) << s.message();
  std::int64_t id = 0;
  for (const testing::OldReceipt& old : OldReceipts()) {
    ++id;
    SCOPED_TRACE(old.key);
    std::optional<StoredReceipt> r;
    ASSERT_TRUE(journal->FindByKey(old.key, &r).ok());
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->id, id);
    EXPECT_EQ(StateName(r->state), old.state);
    EXPECT_EQ(r->body_sha256, old.body_sha256);
    std::vector<std::string> texts;
    for (const JournalText& t : r->texts) texts.push_back(t.bytes);
    EXPECT_EQ(texts, old.texts);
    std::vector<std::string_view> views(old.texts.begin(), old.texts.end());
    EXPECT_EQ(r->receipt_sha256, ReceiptFingerprint(old.port, views));
  }
  journal.reset();
  EXPECT_EQ(Tables(path), (std::vector<std::string>{"version 4", "receipt_sha256"}));
}

// A version-3 journal is brought up to date: each receipt gets its
// fingerprint, nothing is lost, and a new receipt is stored beside them.
TEST(Journal, Version3GetsEachReceiptsFingerprint) {
  TempDir dir;
  const std::string path = dir.File("v3.db");
  testing::WriteVersion3Journal(path, OldReceipts());
  ExpectUpgraded(path);
  std::unique_ptr<Journal> journal;
  ASSERT_TRUE(Journal::Open(path, SystemWallClock(), &journal).ok());
  std::int64_t id = 0;
  bool duplicate = false;
  ASSERT_TRUE(journal->Accept(Receipt("new", 1), {}, &id, &duplicate).ok());
  EXPECT_EQ(id, 4);
  std::optional<StoredReceipt> r;
  ASSERT_TRUE(journal->Get(id, &r).ok());
  EXPECT_EQ(r->receipt_sha256, ReceiptFingerprint(1, Receipt("new", 1).texts));
  EXPECT_FALSE(journal->Accept(Receipt("old-queued"), {}, &id, &duplicate).ok());
  EXPECT_TRUE(duplicate);  // the old keys are kept
}

#ifndef _WIN32
// What a trigger in the tests' journals calls to end the process on the
// spot, in the middle of the upgrade's transaction.
void Die(sqlite3_context*, int, sqlite3_value**) { _exit(9); }
int RegisterDie(sqlite3* db, const char**, const sqlite3_api_routines*) {
  return sqlite3_create_function(db, "die", 0, SQLITE_UTF8, nullptr, Die, nullptr, nullptr);
}
#endif

// The upgrade is one transaction: when it fails, or the process dies,
// after the column was added and some receipts got their fingerprint, the
// journal is version 3 as it was, and it is brought up at the next open.
TEST(Journal, AnUpgradeCutShortIsDoneAgainAtTheNextOpen) {
  struct Case {
    const char* what;
    const char* action;  // what happens as receipt `at` gets its fingerprint
    int at;
  };
  const Case cases[] = {
      {"fails at the first receipt", "SELECT RAISE(ABORT, 'the disk is full')", 1},
      {"fails at the last receipt", "SELECT RAISE(ABORT, 'the disk is full')", 3},
#ifndef _WIN32
      {"dies at the first receipt", "SELECT die()", 1},
      {"dies at the second receipt", "SELECT die()", 2},
      {"dies at the last receipt", "SELECT die()", 3},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string path = dir.File("v3.db");
    testing::WriteVersion3Journal(path, OldReceipts());
    Sql(path, "CREATE TRIGGER cut AFTER UPDATE ON receipts WHEN NEW.id = " + std::to_string(c.at) +
                  " BEGIN " + c.action + "; END;");
    std::unique_ptr<Journal> journal;
    if (std::string(c.action) == "SELECT die()") {
#ifndef _WIN32
      const pid_t child = fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        sqlite3_auto_extension(reinterpret_cast<void (*)()>(RegisterDie));
        (void)Journal::Open(path, SystemWallClock(), &journal);
        _exit(0);  // the upgrade ran to its end: the test fails below
      }
      int status = 0;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      ASSERT_TRUE(WIFEXITED(status));
      EXPECT_EQ(WEXITSTATUS(status), 9);
#endif
    } else {
      const Status s = Journal::Open(path, SystemWallClock(), &journal);
      EXPECT_FALSE(s.ok());
      EXPECT_NE(s.message().find("from version 3 to 4"), std::string::npos) << s.message();
      EXPECT_NE(s.message().find("the disk is full"), std::string::npos) << s.message();
      journal.reset();
    }
    EXPECT_EQ(Tables(path), std::vector<std::string>{"version 3"});
    Sql(path, "DROP TRIGGER cut");
    ExpectUpgraded(path);
  }
}

}  // namespace
}  // namespace fiskal::service

// The journal's upgrades against real SQLite files in a temporary folder:
// an older journal brought up to this version, its receipts and keys
// kept, each receipt given its fingerprint, and an upgrade cut short done
// again at the next open.

#include <gtest/gtest.h>
#include <sqlite3.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/journal/journal.h"
#include "service/journal/journal_test.h"
#include "service/journal/same_receipt.h"
#include "testing/old_journal.h"
#include "testing/temp_dir.h"

namespace fiskal::service {
namespace {

using namespace journal_test;
using testing::TempDir;

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

// The group commit on a real file: what a batch stores is what it reports.

#include "service/journal/group_commit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/temp_dir.h"

namespace fiskal::service::journal_internal {
namespace {

using testing::TempDir;

JournalWork Insert(const std::string& k) {
  return [k](const JournalConnection& c) { return c.Exec(("INSERT INTO t VALUES('" + k + "')").c_str()); };
}

// A write whose failure takes the whole transaction with it, as SQLite does
// on a full disk or an I/O error.
JournalWork EndsTheTransaction() {
  return [](const JournalConnection& c) {
    (void)c.Exec("ROLLBACK");
    return Status::Error("journal " + c.path + ": database or disk is full");
  };
}

std::string Stored(const JournalConnection& c) {
  std::string keys;
  sqlite3_stmt* st = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(c.db, "SELECT k FROM t ORDER BY k", -1, &st, nullptr), SQLITE_OK);
  while (sqlite3_step(st) == SQLITE_ROW) keys += reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
  sqlite3_finalize(st);
  return keys;
}

// Each work reports committed exactly when its write is stored, whatever
// fails beside it in the batch.
TEST(GroupCommit, AWorkReportsCommittedExactlyWhenItsWriteIsStored) {
  struct Case {
    const char* what;
    std::vector<JournalWork> works;
    std::vector<bool> ok;
    std::string stored;
  };
  const Case cases[] = {
      {"all succeed", {Insert("a"), Insert("b")}, {true, true}, "ab"},
      {"one fails alone (a duplicate key): the others stay whole",
       {Insert("a"), Insert("a"), Insert("b")}, {true, false, true}, "ab"},
      {"one ends the transaction: the ones before roll back with it, the ones after are not run",
       {Insert("a"), EndsTheTransaction(), Insert("b"), Insert("c")}, {false, false, false, false}, ""},
      {"the first ends the transaction", {EndsTheTransaction(), Insert("b")}, {false, false}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    {
      JournalConnection creates;  // the journal's own connections open existing files only
      ASSERT_EQ(sqlite3_open(dir.File("j.db").c_str(), &creates.db), SQLITE_OK);
    }
    JournalConnection connection;
    ASSERT_TRUE(OpenConnection(dir.File("j.db"), &connection).ok());
    ASSERT_TRUE(connection.Exec("CREATE TABLE t(k TEXT PRIMARY KEY)").ok());
    std::vector<const JournalWork*> works;
    for (const JournalWork& w : c.works) works.push_back(&w);
    const std::vector<Status> results = CommitTogether(connection, works);
    ASSERT_EQ(results.size(), c.ok.size());
    for (std::size_t i = 0; i < results.size(); ++i) EXPECT_EQ(results[i].ok(), c.ok[i]) << "work " << i;
    EXPECT_EQ(Stored(connection), c.stored);
    // The connection is usable afterwards: the next batch commits.
    const JournalWork next = Insert("z");
    EXPECT_TRUE(CommitTogether(connection, {&next})[0].ok());
  }
}

}  // namespace
}  // namespace fiskal::service::journal_internal

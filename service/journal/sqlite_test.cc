// The journal's SQLite wrapper on a real file: what its errors say, and
// that what is stored comes back whole.

#include "service/journal/sqlite.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "testing/temp_dir.h"

namespace fiskal::service::journal_internal {
namespace {

using testing::TempDir;

// Every error names the journal, what failed and SQLite's reason, whole.
TEST(JournalSqlite, ErrorsNameTheJournalWhatFailedAndWhy) {
  TempDir dir;
  const std::string path = dir.File("j.db");
  {
    // A file of its own, with a table and a trigger to fail on.
    JournalConnection c;
    c.path = path;
    ASSERT_EQ(sqlite3_open(path.c_str(), &c.db), SQLITE_OK);
    ASSERT_TRUE(c.Exec("CREATE TABLE t(k TEXT UNIQUE, v BLOB); INSERT INTO t VALUES('a', x'');"
                       "CREATE TRIGGER full BEFORE INSERT ON t WHEN NEW.k = 'full' "
                       "BEGIN SELECT RAISE(ABORT, 'the disk is full'); END;")
                    .ok());
  }
  struct Case {
    const char* what;
    std::function<Status(const JournalConnection&)> run;
    std::string says;
  };
  const Case cases[] = {
      {"SQL that does not parse", [](const JournalConnection& c) { return c.Exec("SELEC 1"); },
       "journal " + path + ": near \"SELEC\": syntax error"},
      {"SQL that fails as it runs",
       [](const JournalConnection& c) { return c.Exec("INSERT INTO t VALUES('full', x'')"); },
       "journal " + path + ": the disk is full"},
      {"a statement that does not prepare",
       [](const JournalConnection& c) {
         Statement q(c, "SELECT v FROM nope WHERE k = ?");
         q.Bind(std::string("a"));  // binding a statement that failed is harmless
         return q.Run();
       },
       "journal " + path + ": cannot prepare a statement: no such table: nope"},
      {"a statement that breaks a constraint",
       [](const JournalConnection& c) {
         Statement q(c, "INSERT INTO t VALUES(?, ?)");
         q.Bind(std::string("a")).BindBlob("");
         return q.Run();
       },
       "journal " + path + ": cannot run a statement: UNIQUE constraint failed: t.k"},
      {"no connection at all",
       [](const JournalConnection&) {
         JournalConnection none;
         none.path = "/x/j.db";
         return none.Error("cannot open");
       },
       "journal /x/j.db: cannot open: out of memory"},
      {"a folder that does not exist",
       [&](const JournalConnection&) {
         JournalConnection other;
         return OpenConnection(dir.File("missing/j.db"), &other);
       },
       "journal " + dir.File("missing/j.db") + ": cannot open: unable to open database file"},
  };
  JournalConnection c;
  ASSERT_TRUE(OpenConnection(path, &c).ok());
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    const Status s = k.run(c);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.message(), k.says);
  }
  // A failed statement leaves the connection usable.
  int rows = 0;
  ASSERT_TRUE(PragmaInt(c, "SELECT count(*) FROM t", &rows).ok());
  EXPECT_EQ(rows, 1);
}

// What is bound comes back byte for byte: NUL bytes, empty values, and
// numbers past 32 bits.
TEST(JournalSqlite, ValuesComeBackWhole) {
  TempDir dir;
  {
    // The journal's connections open a file that is there, never make one.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(dir.File("j.db").c_str(), &db), SQLITE_OK);
    sqlite3_close(db);
  }
  JournalConnection c;
  ASSERT_TRUE(OpenConnection(dir.File("j.db"), &c).ok());
  ASSERT_TRUE(c.Exec("CREATE TABLE t(n INTEGER, s TEXT, b BLOB)").ok());
  struct Case {
    std::int64_t n;
    std::string text, blob;
  };
  const Case cases[] = {
      {0, "", ""},
      {-1, "plain", "plain"},
      {std::int64_t{1} << 40, std::string("a\0b", 3), std::string("\0\xff\0", 3)},
  };
  for (const Case& k : cases) {
    Statement insert(c, "INSERT INTO t VALUES(?, ?, ?)");
    insert.Bind(k.n).Bind(k.text).BindBlob(k.blob);
    ASSERT_TRUE(insert.Run().ok());
    EXPECT_EQ(insert.changes(), 1);
  }
  Statement q(c, "SELECT n, s, b FROM t ORDER BY rowid");
  bool row = false;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.n);
    ASSERT_TRUE(q.Step(&row).ok());
    ASSERT_TRUE(row);
    EXPECT_EQ(q.Int(0), k.n);
    EXPECT_EQ(q.Text(1), k.text);
    EXPECT_EQ(q.Text(2), k.blob);
  }
  ASSERT_TRUE(q.Step(&row).ok());
  EXPECT_FALSE(row);
}

}  // namespace
}  // namespace fiskal::service::journal_internal

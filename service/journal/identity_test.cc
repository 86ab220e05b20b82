// The journal's files and what is not its journal, against real files in
// a temporary folder: a new journal made whole before it has its name, a
// file that is not this program's journal (or is a newer one's) refused
// untouched, and one journal locked to one fiskald.

#include <gtest/gtest.h>
#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "service/journal/journal.h"
#include "service/journal/journal_test.h"
#include "testing/temp_dir.h"

namespace fiskal::service {
namespace {

using namespace journal_test;
using testing::TempDir;

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

// A journal that cannot be made names itself and its folder, never the
// name it is made under, and says what to do.
TEST(Journal, ACreateThatFailsNamesTheJournalAndItsFolder) {
  TempDir dir;
  testing::WriteAll(dir.File("a-file"), "");
  for (const std::string& folder : {dir.File("missing"), dir.File("a-file")}) {
    SCOPED_TRACE(folder);
    const std::string path = folder + "/j.db";
    std::unique_ptr<Journal> journal;
    const Status s = Journal::Open(path, SystemWallClock(), &journal);
    ASSERT_FALSE(s.ok());
    std::string says = "journal " + path;
    says += ": cannot create it in " + folder + ": ";
    EXPECT_EQ(s.message().rfind(says, 0), 0u) << s.message();
    EXPECT_NE(s.message().find("(make the folder first, or give --journal a path in a folder "
                               "that exists)"),
              std::string::npos)
        << s.message();
    EXPECT_EQ(s.message().find(".new-"), std::string::npos) << s.message();
  }
}

}  // namespace
}  // namespace fiskal::service

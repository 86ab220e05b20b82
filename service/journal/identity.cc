// Whose file the journal's path holds, written here only: a new journal is
// made whole under a name of its own before it gets the path, and a file
// that is not this program's journal (empty, no database, another
// program's database) or is a newer one's is refused without a write.
#include <cstdint>
#include <string>
#include <string_view>

#include "service/journal/journal_file.h"
#include "service/journal/journal_internal.h"
#include "service/journal/schema.h"

namespace fiskal::service::journal_internal {

// Makes a new journal under a name of its own, then gives it `path`. A
// file at `path` is so always a whole journal, never an empty file a crash
// left behind; a file that is there already (another fiskald made it
// meanwhile) is left as it is.
Status CreateJournal(const std::string& path) {
  const std::string made = MakingName(path);
  RemoveFile(made);
  RemoveFile(made + "-journal");
  if (Status s = CreatePrivateFile(made, path); !s.ok()) return s;
  Status s;
  {
    JournalConnection c;
    c.path = path;
    if (sqlite3_open_v2(made.c_str(), &c.db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
      s = c.Error("cannot create");
    }
    if (s.ok()) s = c.Exec("PRAGMA synchronous=FULL");
    if (s.ok()) s = c.Exec("BEGIN IMMEDIATE");
    if (s.ok()) s = WriteSchema(c);
    if (s.ok()) s = c.Exec("COMMIT");
  }
  if (!s.ok()) {
    RemoveFile(made);
    RemoveFile(made + "-journal");
    return s;
  }
  bool existed = false;
  return PublishFile(made, path, &existed);
}

// Refuses a file that is not a journal of this program, or is one of a
// newer version, without writing to it: an empty file (a journal is never
// empty: taking it for a new one would forget every key, and print every
// old receipt again when it comes back), a file that is no database, and
// another program's database (which is read, never converted).
Status CheckIsJournal(const std::string& path, OpenFile file, int* version) {
  static constexpr std::string_view kMagic{"SQLite format 3\0", 16};
  std::uint64_t length = 0;
  std::string start;
  if (Status s = ReadFileStart(file, path, kMagic.size(), &length, &start); !s.ok()) return s;
  if (length == 0 && !FileExists(path + "-wal")) {
    return Status::Error("journal " + path +
                         ": the file is empty, so it is not a journal (a journal is never "
                         "empty); give the path of the journal, or remove the file to begin a "
                         "new one");
  }
  if (length > 0 && start != kMagic) {
    return Status::Error("journal " + path +
                         ": the file is not a fiskald journal (not a database at all); it was "
                         "left as it is");
  }
  JournalConnection c;
  c.path = path;
  if (sqlite3_open_v2(path.c_str(), &c.db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    return c.Error("cannot open");
  }
  sqlite3_busy_timeout(c.db, 5000);
  int application = 0;
  if (Status s = PragmaInt(c, "PRAGMA application_id", &application); !s.ok()) {
    return Status::Error("journal " + path + ": not a journal (" + s.message() + ")");
  }
  if (application != kApplicationId) {
    return Status::Error("journal " + path +
                         ": the file is a database of another program, not a fiskald journal; "
                         "it was left as it is");
  }
  if (Status s = PragmaInt(c, "PRAGMA user_version", version); !s.ok()) return s;
  if (*version > kSchemaVersion) {
    return Status::Error("journal " + path + ": written by a newer fiskald (journal version " +
                         std::to_string(*version) + "); this one reads version " +
                         std::to_string(kSchemaVersion));
  }
  return Status::Ok();
}

}  // namespace fiskal::service::journal_internal

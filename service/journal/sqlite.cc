// Opening a connection to the journal with its settings, written here
// only, and reading a pragma (service/journal/sqlite.h).
#include "service/journal/sqlite.h"

namespace fiskal::service::journal_internal {

Status OpenConnection(const std::string& path, JournalConnection* c) {
  c->path = path;
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(path.c_str(), &c->db, flags, nullptr) != SQLITE_OK) {
    return c->Error("cannot open");
  }
  sqlite3_extended_result_codes(c->db, 1);
  // Readers and the writer never wait long for each other in WAL mode;
  // a checkpoint may hold the file briefly.
  sqlite3_busy_timeout(c->db, 5000);
  if (Status s = c->Exec("PRAGMA journal_mode=WAL"); !s.ok()) return s;
  if (Status s = c->Exec("PRAGMA synchronous=FULL"); !s.ok()) return s;
  // A small page cache each: the journal's reads are by key and recent.
  if (Status s = c->Exec("PRAGMA cache_size=-1024"); !s.ok()) return s;
  return c->Exec("PRAGMA foreign_keys=ON");
}

Status PragmaInt(const JournalConnection& c, const char* sql, int* value) {
  Statement q(c, sql);
  bool row = false;
  if (Status s = q.Step(&row); !s.ok()) return s;
  *value = row ? static_cast<int>(q.Int(0)) : 0;
  return Status::Ok();
}

}  // namespace fiskal::service::journal_internal

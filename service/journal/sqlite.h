// The journal's small wrapper of SQLite, used inside service/journal/ only:
// a connection (closed with it) and the text of its errors, written here
// only (the journal's path, what failed, SQLite's reason); a prepared
// statement (finalized with it); and the opening of the connections that
// serve the journal, with their settings (WAL, synchronous=FULL), in
// service/journal/sqlite.cc.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <string>

#include "base/status.h"

namespace fiskal::service {

// One SQLite connection, with the journal's path for messages.
struct JournalConnection {
  sqlite3* db = nullptr;
  std::string path;
  std::mutex mu;  // the reading connection is shared by the request threads

  ~JournalConnection() {
    if (db != nullptr) sqlite3_close_v2(db);
  }

  Status Error(const std::string& what) const {
    return Status::Error("journal " + path + ": " + what + ": " +
                         (db != nullptr ? sqlite3_errmsg(db) : "out of memory"));
  }

  Status Exec(const char* sql) const {
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
      std::string text = error != nullptr ? error : sqlite3_errmsg(db);
      sqlite3_free(error);
      return Status::Error("journal " + path + ": " + text);
    }
    return Status::Ok();
  }
};

namespace journal_internal {

// A prepared statement, finalized on destruction. Binding is by position,
// from 1.
class Statement {
 public:
  Statement(const JournalConnection& c, const char* sql) : c_(c) {
    if (sqlite3_prepare_v2(c.db, sql, -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(std::int64_t value) {
    if (stmt_ != nullptr) sqlite3_bind_int64(stmt_, next_++, value);
    return *this;
  }
  Statement& Bind(const std::string& text) {
    if (stmt_ != nullptr) {
      sqlite3_bind_text(stmt_, next_++, text.data(), static_cast<int>(text.size()),
                        SQLITE_TRANSIENT);
    }
    return *this;
  }
  Statement& BindBlob(const std::string& bytes) {
    if (stmt_ != nullptr) {
      sqlite3_bind_blob(stmt_, next_++, bytes.data(), static_cast<int>(bytes.size()),
                        SQLITE_TRANSIENT);
    }
    return *this;
  }

  // Steps once: *row is true when a row came.
  Status Step(bool* row) {
    *row = false;
    if (stmt_ == nullptr) return c_.Error("cannot prepare a statement");
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) {
      *row = true;
      return Status::Ok();
    }
    if (rc == SQLITE_DONE) return Status::Ok();
    return c_.Error("cannot run a statement");
  }
  // Runs to the end, for statements that return no rows.
  Status Run() {
    bool row = false;
    Status s = Step(&row);
    while (s.ok() && row) s = Step(&row);
    return s;
  }

  std::int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }
  std::string Text(int column) const {
    const void* data = sqlite3_column_blob(stmt_, column);
    const int size = sqlite3_column_bytes(stmt_, column);
    return data != nullptr ? std::string(static_cast<const char*>(data), size) : std::string();
  }
  int changes() const { return sqlite3_changes(c_.db); }

 private:
  const JournalConnection& c_;
  sqlite3_stmt* stmt_ = nullptr;
  int next_ = 1;
};

// Opens a connection to the journal at `path` for reading and writing,
// with the journal's settings.
Status OpenConnection(const std::string& path, JournalConnection* c);

// Reads a pragma's number (0 when it gives no row).
Status PragmaInt(const JournalConnection& c, const char* sql, int* value);

}  // namespace journal_internal
}  // namespace fiskal::service

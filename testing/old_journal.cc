#include "testing/old_journal.h"

#include <sqlite3.h>

#include <cstdint>
#include <stdexcept>

namespace fiskal::testing {

namespace {

// Version 3's tables, as its upgrades left them.
constexpr const char* kVersion3 = R"sql(
CREATE TABLE receipts(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  idempotency_key TEXT NOT NULL UNIQUE,
  body_sha256 BLOB NOT NULL,
  state TEXT NOT NULL,
  port INTEGER NOT NULL,
  device TEXT NOT NULL,
  message TEXT NOT NULL DEFAULT '',
  accepted_ms INTEGER NOT NULL,
  finished_ms INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX receipts_by_state ON receipts(state, id);
CREATE TABLE texts(
  receipt_id INTEGER NOT NULL REFERENCES receipts(id) ON DELETE CASCADE,
  seq INTEGER NOT NULL,
  bytes BLOB NOT NULL,
  label TEXT NOT NULL,
  pause_after INTEGER NOT NULL,
  sent INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY(receipt_id, seq)
) WITHOUT ROWID;
CREATE TABLE health(id INTEGER PRIMARY KEY CHECK (id = 1), checked_ms INTEGER NOT NULL);
INSERT INTO health VALUES(1, 0);
ALTER TABLE receipts ADD COLUMN deadline_ms INTEGER NOT NULL DEFAULT 0;
CREATE TABLE answer_to(
  receipt_id INTEGER NOT NULL REFERENCES receipts(id) ON DELETE CASCADE,
  topic TEXT NOT NULL,
  correlation BLOB NOT NULL,
  PRIMARY KEY(receipt_id, topic)
) WITHOUT ROWID;
CREATE TABLE outbox(
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  topic TEXT NOT NULL,
  correlation BLOB NOT NULL,
  content_type TEXT NOT NULL,
  state TEXT NOT NULL,
  payload BLOB NOT NULL,
  stored_ms INTEGER NOT NULL DEFAULT 0
);
ALTER TABLE receipts ADD COLUMN waiting_since_ms INTEGER NOT NULL DEFAULT 0;
ALTER TABLE receipts ADD COLUMN waiting_reason TEXT NOT NULL DEFAULT '';
PRAGMA application_id=1179863884;
PRAGMA user_version=3;
)sql";

class Db {
 public:
  explicit Db(const std::string& path) {
    if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) Fail("open " + path);
  }
  ~Db() { sqlite3_close(db_); }

  void Exec(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) Fail(sql);
  }
  // Runs `sql` with `values` bound in order (text, or a blob when it is
  // marked so), once.
  void Run(const char* sql, const std::vector<std::pair<std::string, bool>>& values) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr) != SQLITE_OK) Fail(sql);
    int n = 1;
    for (const auto& [value, blob] : values) {
      if (blob) {
        sqlite3_bind_blob(stmt, n++, value.data(), static_cast<int>(value.size()),
                          SQLITE_TRANSIENT);
      } else {
        sqlite3_bind_text(stmt, n++, value.data(), static_cast<int>(value.size()),
                          SQLITE_TRANSIENT);
      }
    }
    const int rc = sqlite3_step(stmt);
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE) Fail(sql);
  }

 private:
  [[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error("old journal: " + what + ": " + sqlite3_errmsg(db_));
  }
  sqlite3* db_ = nullptr;
};

}  // namespace

void WriteVersion3Journal(const std::string& path, const std::vector<OldReceipt>& receipts) {
  Db db(path);
  db.Exec("PRAGMA journal_mode=WAL");
  db.Exec("BEGIN");
  db.Exec(kVersion3);
  std::int64_t id = 0;
  for (const OldReceipt& r : receipts) {
    ++id;
    const bool printed = r.state == "printed";
    db.Run("INSERT INTO receipts(id, idempotency_key, body_sha256, state, port, device, "
           "accepted_ms, finished_ms) VALUES(?, ?, ?, ?, ?, ?, 1000, ?)",
           {{std::to_string(id), false},
            {r.key, false},
            {r.body_sha256, true},
            {r.state, false},
            {std::to_string(r.port), false},
            {r.port != 0 ? "/dev/old" + std::to_string(r.port) : "", false},
            {printed ? "2000" : "0", false}});
    for (std::size_t seq = 0; seq < r.texts.size(); ++seq) {
      db.Run("INSERT INTO texts(receipt_id, seq, bytes, label, pause_after, sent) "
             "VALUES(?, ?, ?, ?, 0, ?)",
             {{std::to_string(id), false},
              {std::to_string(seq), false},
              {r.texts[seq], true},
              {"text " + std::to_string(seq + 1), false},
              {printed ? "1" : "0", false}});
    }
  }
  db.Exec("COMMIT");
}

}  // namespace fiskal::testing

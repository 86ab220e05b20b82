// What the journal's tests share: a receipt to accept, a journal in a
// temporary folder that a test can reopen, and SQL run on a database of
// the test's own.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>

#include "service/journal/journal.h"
#include "testing/temp_dir.h"

namespace fiskal::service::journal_test {

inline NewReceipt Receipt(const std::string& key, int port = 0) {
  NewReceipt r;
  r.idempotency_key = key;
  r.body_sha256 = std::string(32, 'h');
  r.port = port;
  r.texts = {{"ver.:0.6a", "version text", false, false},
             {"\x1bP0;0$h88\x1b\\", "begin frame", true, false}};
  return r;
}

struct Open {
  testing::TempDir dir;
  std::int64_t now = 1'000'000;
  std::unique_ptr<Journal> journal;
  explicit Open() { Reopen(); }
  void Reopen() {
    journal.reset();
    const Status s = Journal::Open(dir.File("j.db"), [this] { return now; }, &journal);
    ASSERT_TRUE(s.ok()) << s.message();
  }
};

// Runs SQL on a database of the test's own.
inline void Sql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
      << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);
}

}  // namespace fiskal::service::journal_test

// The journal's life: its opening (the file made or checked, locked, its
// connections, an older journal brought up to date) and closing, and the
// reading connections the reads share, their number written here only.
// The rest of Journal is defined beside it: the receipts' writes and
// reads (receipt_writes.cc, receipt_reads.cc), the outbox (outbox.cc),
// the group commit (group_commit.cc), the tables (schema.cc), the file's
// identity (identity.cc) and SQLite (sqlite.cc).
#include "service/journal/journal.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <utility>

#include "service/journal/group_commit.h"
#include "service/journal/journal_file.h"
#include "service/journal/journal_internal.h"
#include "service/journal/schema.h"

namespace fiskal::service {

using namespace journal_internal;

namespace {

// Connections that read, beside the one that writes.
constexpr int kReaders = 4;

}  // namespace

int StoredReceipt::texts_sent() const {
  int n = 0;
  for (const JournalText& t : texts) n += t.sent ? 1 : 0;
  return n;
}

WallClock SystemWallClock() {
  return [] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
}

Status Journal::Open(const std::string& path, WallClock wall, std::unique_ptr<Journal>* journal) {
  if (sqlite3_threadsafe() == 0) return Status::Error("SQLite was built without threads");
  // No count of SQLite's memory: kept, it takes one mutex of the whole
  // process on every allocation of every connection.
  static const bool configured = [] {
    return sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0) == SQLITE_OK;
  }();
  (void)configured;
  if (!FileExists(path)) {
    if (Status s = CreateJournal(path); !s.ok()) return s;
  }
  std::unique_ptr<Journal> j(new Journal());
  j->path_ = path;
  j->wall_ = std::move(wall);
  OpenFile lock{};
  if (Status s = LockJournalFile(path, &lock); !s.ok()) return s;
  j->lock_ = lock;
  int version = 0;
  if (Status s = CheckIsJournal(path, lock, &version); !s.ok()) return s;
  for (int i = 0; i < kReaders; ++i) {
    j->readers_.push_back(std::make_unique<JournalConnection>());
    if (Status s = OpenConnection(path, j->readers_.back().get()); !s.ok()) return s;
  }
  j->writer_ = std::make_unique<Writer>();
  if (Status s = j->writer_->Start(path); !s.ok()) return s;
  for (int from = std::max(version, 1); from < kSchemaVersion; ++from) {
    if (Status s =
            j->writer_->Run([&](const JournalConnection& c) { return UpgradeFrom(c, from); });
        !s.ok()) {
      return Status::Error("cannot bring the journal from version " + std::to_string(from) +
                           " to " + std::to_string(from + 1) + ": " + s.message());
    }
  }
  *journal = std::move(j);
  return Status::Ok();
}

Journal::~Journal() {
  // SQLite closes the file first: the lock's descriptor goes last.
  writer_.reset();
  readers_.clear();
  if (lock_) CloseJournalFile(*lock_);
}

Journal::Lease Journal::Reader() {
  for (const auto& r : readers_) {
    std::unique_lock<std::mutex> lock(r->mu, std::try_to_lock);
    if (lock.owns_lock()) return {std::move(lock), r.get()};
  }
  JournalConnection* r = readers_[next_reader_.fetch_add(1) % readers_.size()].get();
  return {std::unique_lock<std::mutex>(r->mu), r};
}

}  // namespace fiskal::service

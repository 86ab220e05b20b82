// The journal's one writing connection and its group commit, written here
// only (service/journal/group_commit.cc): the writes of many threads are
// committed together, each in a savepoint of its own, so one fsync serves
// every write waiting for one.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/status.h"
#include "service/journal/journal.h"
#include "service/journal/sqlite.h"

namespace fiskal::service {

namespace journal_internal {

using JournalWork = std::function<Status(const JournalConnection&)>;

// Runs `works` in one transaction on `c`, each in a savepoint of its own,
// and commits it; returns each work's result, in order. A work that fails
// leaves the others whole, unless its failure ended the transaction itself
// (SQLite rolls the whole transaction back on a full disk, an I/O error or
// no memory): then every work of the batch failed, the ones before it
// rolled back with it and the ones after it not run, for none of them may
// be committed apart from the transaction it was promised.
std::vector<Status> CommitTogether(const JournalConnection& c,
                                   const std::vector<const JournalWork*>& works);

}  // namespace journal_internal

// The one connection that writes. Jobs are committed in batches (a group
// commit), each inside a savepoint of its own so one failing job leaves
// the others whole: the caller whose job is first in line when no commit
// runs commits every job waiting then, its own and the others', while the
// jobs that come meanwhile wait for the next batch. No thread of its own:
// a lone write costs no hand-over to another thread and back.
class Journal::Writer {
 public:
  using Work = journal_internal::JournalWork;

  Status Start(const std::string& path);

  const JournalConnection& connection() const { return c_; }

  // Runs `work` inside the next transaction and waits for its commit.
  // `after` runs once the commit is durable, in commit order, on the
  // thread that committed the batch.
  Status Run(Work work, std::function<void()> after = {});

 private:
  struct Job {
    Work work;
    std::function<void()> after;
    Status result;
    bool done = false;
  };

  void Commit(const std::deque<Job*>& batch);

  JournalConnection c_;
  std::mutex mu_;
  std::condition_variable done_;
  std::deque<Job*> pending_;
  bool committing_ = false;
};

}  // namespace fiskal::service

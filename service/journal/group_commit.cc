// The group commit of the journal's writes (service/journal/group_commit.h).
#include "service/journal/group_commit.h"

#include <utility>

namespace fiskal::service {

Status Journal::Writer::Start(const std::string& path) {
  return journal_internal::OpenConnection(path, &c_);
}

Status Journal::Writer::Run(Work work, std::function<void()> after) {
  Job job{std::move(work), std::move(after), Status::Ok(), false};
  std::unique_lock<std::mutex> lock(mu_);
  pending_.push_back(&job);
  done_.wait(lock, [&] { return job.done || (!committing_ && pending_.front() == &job); });
  if (job.done) return job.result;
  committing_ = true;
  std::deque<Job*> batch;
  batch.swap(pending_);
  lock.unlock();
  Commit(batch);
  lock.lock();
  committing_ = false;
  for (Job* j : batch) j->done = true;
  done_.notify_all();
  return job.result;
}

void Journal::Writer::Commit(const std::deque<Job*>& batch) {
  std::vector<const Work*> works;
  works.reserve(batch.size());
  for (const Job* job : batch) works.push_back(&job->work);
  std::vector<Status> results = journal_internal::CommitTogether(c_, works);
  for (std::size_t i = 0; i < batch.size(); ++i) batch[i]->result = std::move(results[i]);
  for (Job* job : batch) {
    if (job->result.ok() && job->after) job->after();
  }
}

namespace journal_internal {

std::vector<Status> CommitTogether(const JournalConnection& c,
                                   const std::vector<const JournalWork*>& works) {
  std::vector<Status> results(works.size(), Status::Ok());
  if (Status s = c.Exec("BEGIN IMMEDIATE"); !s.ok()) {
    for (Status& r : results) r = s;
    return results;
  }
  for (std::size_t i = 0; i < works.size(); ++i) {
    Status s = c.Exec("SAVEPOINT job");
    if (s.ok()) {
      s = (*works[i])(c);
      if (sqlite3_get_autocommit(c.db) != 0) {
        // The transaction is gone, and every write of the batch with it.
        // Another SAVEPOINT would open a transaction of its own and commit
        // the later works apart from the batch.
        if (s.ok()) s = Status::Error("journal " + c.path + ": the transaction ended inside a write");
        for (Status& r : results) r = s;
        return results;
      }
      if (!s.ok()) (void)c.Exec("ROLLBACK TO job");
      (void)c.Exec("RELEASE job");
    }
    results[i] = s;
  }
  if (Status s = c.Exec("COMMIT"); !s.ok()) {
    (void)c.Exec("ROLLBACK");
    for (Status& r : results) {
      if (r.ok()) r = s;
    }
  }
  return results;
}

}  // namespace journal_internal

}  // namespace fiskal::service

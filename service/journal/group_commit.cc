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
  if (Status s = c_.Exec("BEGIN IMMEDIATE"); !s.ok()) {
    for (Job* job : batch) job->result = s;
    return;
  }
  for (Job* job : batch) {
    Status s = c_.Exec("SAVEPOINT job");
    if (s.ok()) {
      s = job->work(c_);
      if (!s.ok()) (void)c_.Exec("ROLLBACK TO job");
      (void)c_.Exec("RELEASE job");
    }
    job->result = s;
  }
  if (Status s = c_.Exec("COMMIT"); !s.ok()) {
    (void)c_.Exec("ROLLBACK");
    for (Job* job : batch) {
      if (job->result.ok()) job->result = s;
    }
    return;
  }
  for (Job* job : batch) {
    if (job->result.ok() && job->after) job->after();
  }
}

}  // namespace fiskal::service

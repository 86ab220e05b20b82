#include "service/api/waits.h"

#include <vector>

namespace fiskal::service {

Waits::Waits(std::size_t max) : max_(max), thread_([this] { Loop(); }) {}

Waits::~Waits() { Stop(); }

void Waits::Stop() {
  EndAll();
  {
    std::lock_guard<std::mutex> lock(mu_);
    quit_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool Waits::Add(std::int64_t id, double seconds, std::function<void()> done) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (ending_ || entries_.size() >= max_) return false;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(seconds));
    const std::uint64_t key = next_++;
    entries_.emplace(key, Entry{id, deadline, std::move(done)});
    by_deadline_.emplace(deadline, key);
  }
  wake_.notify_all();
  return true;
}

void Waits::EndLocked(std::multimap<Clock::time_point, std::uint64_t>::iterator at) {
  auto entry = entries_.find(at->second);
  ready_.push_back(std::move(entry->second.done));
  entries_.erase(entry);
  by_deadline_.erase(at);
}

void Waits::Finished(std::int64_t id) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    bool any = false;
    for (auto at = by_deadline_.begin(); at != by_deadline_.end();) {
      auto next = std::next(at);
      if (entries_.at(at->second).id == id) {
        EndLocked(at);
        any = true;
      }
      at = next;
    }
    if (!any) return;
  }
  wake_.notify_all();
}

void Waits::EndAll() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    ending_ = true;
    while (!by_deadline_.empty()) EndLocked(by_deadline_.begin());
  }
  wake_.notify_all();
}

std::size_t Waits::size() {
  std::lock_guard<std::mutex> lock(mu_);
  return entries_.size();
}

void Waits::Loop() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    const auto now = Clock::now();
    while (!by_deadline_.empty() && by_deadline_.begin()->first <= now) {
      EndLocked(by_deadline_.begin());
    }
    if (!ready_.empty()) {
      std::function<void()> done = std::move(ready_.front());
      ready_.pop_front();
      lock.unlock();
      done();
      lock.lock();
      continue;
    }
    if (quit_) return;
    if (by_deadline_.empty()) {
      wake_.wait(lock);
    } else {
      const Clock::time_point next = by_deadline_.begin()->first;  // the entry may go meanwhile
      wake_.wait_until(lock, next);
    }
  }
}

}  // namespace fiskal::service

// Requests that wait for news of a receipt (?wait=S), without holding a
// thread each: a wait is a callback, run once, when the receipt reaches a
// final state, when its seconds are up, or when fiskald begins to stop,
// whichever comes first. One thread keeps every deadline (sleeping until
// the next, never polling) and runs the callbacks.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace fiskal::service {

class Waits {
 public:
  // At most `max` waits at once.
  explicit Waits(std::size_t max);
  ~Waits();  // Stop()
  Waits(const Waits&) = delete;
  Waits& operator=(const Waits&) = delete;

  // Runs `done` once, later, on the waits' thread. False, and `done` not
  // kept, when `max` waits are under way or stopping began: the caller
  // answers at once.
  bool Add(std::int64_t id, double seconds, std::function<void()> done);
  // The receipt reached a final state: its waits end.
  void Finished(std::int64_t id);
  // Stopping: every wait ends now, and Add refuses from now on.
  void EndAll();
  // EndAll(), and returns once every callback has run and the thread has
  // ended.
  void Stop();
  std::size_t size();

 private:
  using Clock = std::chrono::steady_clock;
  struct Entry {
    std::int64_t id;
    Clock::time_point deadline;
    std::function<void()> done;
  };
  void EndLocked(std::multimap<Clock::time_point, std::uint64_t>::iterator at);
  void Loop();

  const std::size_t max_;
  std::mutex mu_;
  std::condition_variable wake_;
  std::uint64_t next_ = 0;
  std::map<std::uint64_t, Entry> entries_;
  std::multimap<Clock::time_point, std::uint64_t> by_deadline_;
  std::deque<std::function<void()>> ready_;
  bool ending_ = false;
  bool quit_ = false;
  std::thread thread_;
};

}  // namespace fiskal::service

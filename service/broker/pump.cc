// The broker client's own thread, the pump: it connects (again) when it
// is time, publishes the journal's outbox (answers and states, in order,
// at most kWindow unacknowledged) and the retained presence, and has the
// journal forget what the broker acknowledged. The online presence's form
// is written here only.
#include <algorithm>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "fiskal/version.h"
#include "service/broker/broker_impl.h"
#include "service/documents.h"

namespace fiskal::service {

using Clock = std::chrono::steady_clock;

// A publish ended: acknowledged (code < 0x80), refused by the broker
// (code >= 0x80: it never goes through, so it is not tried again), or
// failed on the way (code -1: it goes again after the next connect).
void Broker::Impl::Settle(Pending* p, int code, const std::string& message,
                          const std::string& words) {
  std::int64_t seq = 0;
  std::string topic;
  {
    std::lock_guard<std::mutex> lock(mu);
    auto it = pending.find(p);
    if (it == pending.end()) return;
    seq = p->seq;
    topic = p->topic;
    pending.erase(it);
    if (seq != 0 && code != -1) {
      acked.push_back(seq);
      auto f = in_flight.find(seq);
      if (f != in_flight.end() && --f->second <= 0) in_flight.erase(f);
    }
  }
  if (code >= 0x80) {
    Refused(BrokerStep::kPublish, code,
            (seq == 0 ? "the presence" : "answer " + std::to_string(seq)) + " on " + topic,
            topic, words);
  } else if (code == -1 && !message.empty()) {
    Failed("publishing failed: " + message);
  }
  wake.notify_all();
}

std::string Broker::Impl::Presence() {
  return Dump({{"online", true},
               {"version", std::string(kVersion)},
               {"printers", PrintersJson(printers.Snapshot())}});
}

// The client's own thread: connects (again), publishes the outbox and
// the presence, forgets what the broker acknowledged. It sleeps until
// there is something to do.
void Broker::Impl::Run() {
  std::unique_lock<std::mutex> lock(mu);
  while (!stopping) {
    const auto now = Clock::now();
    if (!connected && !connecting && now >= next_attempt) {
      connecting = true;
      lock.unlock();
      Renew();
      Connect();
      lock.lock();
      continue;
    }
    if (!acked.empty()) {
      std::vector<std::int64_t> done;
      done.swap(acked);
      lock.unlock();
      if (Status s = journal.Delivered(done); !s.ok()) Log(s.message());
      lock.lock();
      continue;
    }
    if (connected && presence_wanted && now >= presence_next) {
      presence_wanted = false;
      presence_next = now + kPresenceEvery;
      lock.unlock();
      Publish(StatusTopic(options.shop), Presence(), "application/json", "", "", true, 0);
      lock.lock();
      continue;
    }
    if (connected && outbox_changed && static_cast<int>(in_flight.size()) < kWindow) {
      outbox_changed = false;
      const std::int64_t after = read_up_to;
      const int room = kWindow - static_cast<int>(in_flight.size());
      lock.unlock();
      std::vector<OutboxAnswer> answers;
      if (Status s = journal.Outbox(after, room, &answers); !s.ok()) Log(s.message());
      bool all_taken = true;
      for (const OutboxAnswer& a : answers) {
        {
          std::lock_guard<std::mutex> relock(mu);
          in_flight[a.seq] += 1;
        }
        if (!Publish(a.topic, a.payload, a.content_type, a.correlation, a.state, false, a.seq)) {
          std::lock_guard<std::mutex> relock(mu);
          if (--in_flight[a.seq] <= 0) in_flight.erase(a.seq);
          all_taken = false;
          break;
        }
        std::lock_guard<std::mutex> relock(mu);
        read_up_to = a.seq;
      }
      lock.lock();
      // A full read may have left more behind; a short one read all.
      if (static_cast<int>(answers.size()) == room || !all_taken) outbox_changed = true;
      if (!all_taken) {
        // The library takes no more now: look again once it settles one.
        outbox_changed = true;
        wake.wait_for(lock, std::chrono::milliseconds(200));
      }
      continue;
    }
    // Nothing to do until a callback, a change, or the next time one of
    // the steps above is due. Each wake (any change under mu) goes round
    // the steps again, which also finds the new time to wait for: the
    // lock is held from the steps' checks to the wait, so no change is
    // missed, and nothing is done again and again while none is due.
    std::optional<Clock::time_point> until;
    if (!connected && !connecting) until = next_attempt;
    if (connected && presence_wanted) until = presence_next;
    if (until) {
      wake.wait_until(lock, *until);
    } else {
      wake.wait(lock);
    }
  }
}

}  // namespace fiskal::service

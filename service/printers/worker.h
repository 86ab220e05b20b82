// A port's worker as Printers keeps it: its queue, the receipt in hand,
// what Snapshot shows of it, and the give-up handshake between GiveUp
// (printers.cc) and the worker's hold (workers.cc). Printers' own; no other
// file includes it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <thread>

#include "service/printers/printers.h"

namespace fiskal::service {

struct Printers::Worker {
  PrinterStatus status;  // its queue length is the queue's, when asked for
  std::deque<std::int64_t> queue;
  std::optional<std::int64_t> in_hand;  // taken from the queue: held or being sent
  std::size_t reserved = 0;  // places held for receipts being stored
  std::condition_variable wake;  // a receipt came, or stopping began
  // The operator gave up on the held receipts: raised by GiveUp, answered
  // by the worker with how many ended.
  std::atomic<bool> give_up{false};
  std::optional<std::size_t> given_up;
  std::condition_variable gave_up;
  std::thread thread;
};

}  // namespace fiskal::service

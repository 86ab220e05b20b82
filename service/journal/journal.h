// The journal of fiskald: every accepted receipt, the texts it is to send,
// which of them went out, and its state, and the outbox of answers to
// publish through the broker, in one SQLite file (WAL mode,
// synchronous=FULL, created with mode 0600). Every write is durable when
// the call returns. Writes from many threads are committed together on
// one connection (a group commit, made by the first writer in line), so an
// fsync is shared by every request waiting for one.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/open_file.h"
#include "base/status.h"
#include "service/state.h"

namespace fiskal::service {

// One text of a receipt, in sending order.
struct JournalText {
  std::string bytes;
  std::string label;         // "version text", "item 3", ...
  bool pause_after = false;  // the begin frame and every item frame
  bool sent = false;         // the port took it (log-only: recorded)
};

// Where the answers about a receipt are published: a broker's response
// topic and the request's correlation data.
struct AnswerTo {
  std::string topic;
  std::string correlation;
};

// A receipt to accept.
struct NewReceipt {
  std::string idempotency_key;
  std::string body_sha256;  // 32 bytes
  int port = 0;
  std::string device;       // empty for log-only
  std::vector<JournalText> texts;
  std::int64_t deadline_ms = 0;  // 0: none; else it is never sent after it
  std::optional<AnswerTo> answer_to;
};

// An answer waiting in the outbox, published until the broker has it.
struct OutboxAnswer {
  std::int64_t seq = 0;  // the order answers are published in
  std::string topic;
  std::string correlation;
  std::string content_type;
  std::string state;  // the receipt's state it reports; empty for a problem
  std::string payload;
};

struct StoredReceipt {
  std::int64_t id = 0;
  std::string idempotency_key;
  std::string body_sha256;
  // What tells the same receipt (service/journal/same_receipt.h), of its port and
  // texts.
  std::string receipt_sha256;
  State state = State::kQueued;
  int port = 0;
  std::string device;
  std::string message;
  std::int64_t accepted_ms = 0;  // milliseconds since 1970 (UTC)
  std::int64_t finished_ms = 0;  // 0 while not final
  std::int64_t deadline_ms = 0;  // 0: none
  // Held for its port: since its first failed try (0: never held), and why
  // it waits now (empty: it does not).
  std::int64_t waiting_since_ms = 0;
  std::string waiting_reason;
  std::vector<JournalText> texts;

  int texts_sent() const;
};

// The body of the answer that reports a receipt's state (set by the
// service: the receipt as its API shows it).
using AnswerBody = std::function<std::string(const StoredReceipt&)>;

struct JournalConnection;

// Milliseconds since 1970 (UTC): the wall clock the journal stamps with.
using WallClock = std::function<std::int64_t()>;
WallClock SystemWallClock();

// A resolved receipt's message: what a person decided.
inline constexpr const char* kResolvedPrintedMessage =
    "resolved as printed: a person decided that the receipt came out of the printer whole";
inline constexpr const char* kResolvedNotPrintedMessage =
    "resolved as not printed: a person decided that the receipt did not come out of the printer "
    "whole; to print the sale, send it again under a new key";

class Journal {
 public:
  // Opens (or creates) the journal at `path` and locks it for the
  // journal's life. Refused before anything is written: a journal another
  // fiskald has open, and a file that is not a journal of this program
  // (an empty file, another program's database) or is from a newer one.
  static Status Open(const std::string& path, WallClock wall, std::unique_ptr<Journal>* journal);
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  const std::string& path() const { return path_; }
  // Now, by the journal's wall clock.
  std::int64_t NowMs() const { return wall_(); }

  // Every change of a receipt's state that someone waits for through the
  // broker stores its answer in the outbox, in the same transaction; the
  // body is made by `body`. `changed` runs after a commit that added
  // answers. Set before the journal is used.
  void SetOutbox(AnswerBody body, std::function<void()> changed);

  // --- writes: each is durable when it returns ok ---

  // Stores a new receipt as queued, with its fingerprint (with its first
  // answer, when it has an answer_to). `committed` runs right after the
  // commit, in commit order, on the thread that committed it (the queue is fed from it, so
  // receipts are sent in the order they were accepted). Fails with
  // *duplicate set when the key is taken already.
  Status Accept(const NewReceipt& receipt, std::function<void(std::int64_t id)> committed,
                std::int64_t* id, bool* duplicate);
  // queued -> sending. Committed before the receipt's first byte goes out.
  Status MarkSending(std::int64_t id);
  // The port's queued receipts wait for it, for `reason`; those that
  // waited before keep the time of their first failed try. *since_ms: the
  // oldest's.
  Status MarkWaiting(int port, const std::string& reason, std::int64_t* since_ms);
  // The port's queued receipts no longer wait (it took one).
  Status EndWaiting(int port);
  // Those of `ids` still queued -> `state` (final), each with its message,
  // in one transaction; *finished (when given) says which.
  Status FinishQueued(const std::vector<std::int64_t>& ids, State state,
                      const std::function<std::string(const StoredReceipt&)>& message,
                      std::vector<std::int64_t>* finished);
  // Text `index` (0-based) went out.
  Status MarkTextSent(std::int64_t id, std::size_t index);
  // sending (or queued: it never started) -> a final state, with the
  // message.
  Status Finish(std::int64_t id, State state, const std::string& message);
  // sending -> queued: stopped before anything was sent.
  Status Requeue(std::int64_t id);
  // in_doubt or cut -> resolved_printed / resolved_not_printed, its
  // message then what was decided (below). *conflict is set (and nothing
  // changes) when the receipt is in another state; *found is false when
  // there is no such receipt.
  Status Resolve(std::int64_t id, bool printed, bool* found, bool* conflict);
  // Receipt `id` is answered (its current state, at once) and its later
  // changes too, at `to`: a request found under its key.
  Status AddAnswerTo(std::int64_t id, const AnswerTo& to);
  // Stores an answer that reports no receipt (a refusal).
  Status StoreAnswer(const OutboxAnswer& answer);
  // Forgets answers the broker has acknowledged.
  Status Delivered(const std::vector<std::int64_t>& seqs);

  // Every receipt still sending (the service stopped while sending it)
  // becomes in_doubt; *count says how many.
  Status MarkInterruptedInDoubt(int* count);
  // Forgets receipts finished more than `keep_days` days ago (their keys
  // become free again), but never one that waits for a person's decision;
  // and answers stored that long ago that no broker took.
  Status Purge(int keep_days, int* removed);

  // --- reads ---

  Status Get(std::int64_t id, std::optional<StoredReceipt>* receipt);
  Status FindByKey(const std::string& key, std::optional<StoredReceipt>* receipt);
  // Receipts newest first, older than receipt `before` (0: from the
  // newest), in `state` (empty: in every state), handed to `each` one at a
  // time with their texts, never all at once: up to `limit` of them, or
  // until `each` takes one not (returns false). *more says whether one
  // was left: one `each` did not take, or one past the limit.
  Status List(std::optional<State> state, std::int64_t before, int limit,
              const std::function<bool(StoredReceipt&&)>& each, bool* more);
  // Ids of queued receipts of every port, oldest first.
  Status Queued(std::vector<std::pair<std::int64_t, int>>* ids_and_ports);
  // Ids of the port's queued receipts, oldest first.
  Status QueuedOn(int port, std::vector<std::int64_t>* ids);
  // Those of them waiting since `waiting_since_up_to` or earlier, or whose
  // deadline is `now` or earlier.
  Status Overdue(int port, std::int64_t waiting_since_up_to, std::int64_t now,
                 std::vector<std::int64_t>* ids);
  Status CountByState(std::map<State, std::int64_t>* counts);
  // Up to `limit` answers of the outbox after `after_seq`, oldest first.
  Status Outbox(std::int64_t after_seq, int limit, std::vector<OutboxAnswer>* answers);
  Status OutboxSize(std::int64_t* size);
  // Whether a write goes through now (a write that changes nothing).
  Status CheckWritable();

 private:
  class Writer;
  struct Lease;
  Journal() = default;
  // A reading connection, held until the lease goes: a free one, else the
  // next in turn.
  Lease Reader();
  // Runs `work` (a change of receipt `id`) and stores the answers that
  // report it, in one transaction.
  Status Change(std::int64_t id, const std::function<Status(const JournalConnection&)>& work);

  std::string path_;
  WallClock wall_;
  std::optional<OpenFile> lock_;  // the file, locked while the journal is open
  // Reads of many request threads share a few connections, so that a long
  // read (a list of 1000 receipts) holds up no other.
  std::vector<std::unique_ptr<JournalConnection>> readers_;
  std::atomic<std::size_t> next_reader_{0};
  std::unique_ptr<Writer> writer_;
  AnswerBody answer_body_;
  std::function<void()> outbox_changed_;
};

}  // namespace fiskal::service

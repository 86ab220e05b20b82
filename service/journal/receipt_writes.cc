// The journal's writes of receipts: a new receipt, the changes of its
// state (each with the answers that report it, service/journal/outbox.cc),
// its texts sent, its hold for its port, and the purge of old ones. Each
// goes through the group commit (service/journal/group_commit.h).
#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "service/journal/group_commit.h"
#include "service/journal/journal.h"
#include "service/journal/journal_internal.h"
#include "service/journal/same_receipt.h"

namespace fiskal::service {

using namespace journal_internal;

Status Journal::Accept(const NewReceipt& receipt, std::function<void(std::int64_t)> committed,
                       std::int64_t* id, bool* duplicate) {
  *duplicate = false;
  std::int64_t new_id = 0;
  bool taken = false, answered = false;
  const std::int64_t now = wall_();
  Status s = writer_->Run(
      [&](const JournalConnection& c) -> Status {
        {
          Statement q(c, "SELECT 1 FROM receipts WHERE idempotency_key = ?");
          q.Bind(receipt.idempotency_key);
          bool row = false;
          if (Status s = q.Step(&row); !s.ok()) return s;
          if (row) {
            taken = true;
            return Status::Error("idempotency key taken");
          }
        }
        Statement insert(c, "INSERT INTO receipts(idempotency_key, body_sha256, receipt_sha256, "
                            "state, port, device, accepted_ms, deadline_ms) "
                            "VALUES(?, ?, ?, ?, ?, ?, ?, ?)");
        insert.Bind(receipt.idempotency_key)
            .BindBlob(receipt.body_sha256)
            .BindBlob(ReceiptFingerprint(receipt.port, receipt.texts))
            .Bind(StateText(State::kQueued))
            .Bind(receipt.port)
            .Bind(receipt.device)
            .Bind(now)
            .Bind(receipt.deadline_ms);
        if (Status s = insert.Run(); !s.ok()) return s;
        new_id = sqlite3_last_insert_rowid(c.db);
        for (std::size_t i = 0; i < receipt.texts.size(); ++i) {
          const JournalText& t = receipt.texts[i];
          Statement text(c, "INSERT INTO texts(receipt_id, seq, bytes, label, pause_after) "
                            "VALUES(?, ?, ?, ?, ?)");
          text.Bind(new_id)
              .Bind(static_cast<std::int64_t>(i))
              .BindBlob(t.bytes)
              .Bind(t.label)
              .Bind(t.pause_after ? 1 : 0);
          if (Status s = text.Run(); !s.ok()) return s;
        }
        if (receipt.answer_to) {
          Statement to(c, "INSERT INTO answer_to(receipt_id, topic, correlation) VALUES(?, ?, ?)");
          to.Bind(new_id).Bind(receipt.answer_to->topic).BindBlob(receipt.answer_to->correlation);
          if (Status s = to.Run(); !s.ok()) return s;
          return QueueAnswers(c, answer_body_, wall_(), new_id, &answered);
        }
        return Status::Ok();
      },
      [&] {
        if (committed) committed(new_id);
        if (answered && outbox_changed_) outbox_changed_();
      });
  *duplicate = taken;
  if (s.ok()) *id = new_id;
  return s;
}

namespace {

// Sets the state of a receipt that is in `from` (or `or_from`); fails when
// it is in neither.
Status ChangeState(const JournalConnection& c, std::int64_t id, State from, State or_from,
                   State to, const std::string* message, std::int64_t finished_ms) {
  Statement q(c, message != nullptr
                     ? "UPDATE receipts SET state = ?, finished_ms = ?, message = ? "
                       "WHERE id = ? AND state IN (?, ?)"
                     : "UPDATE receipts SET state = ?, finished_ms = ? "
                       "WHERE id = ? AND state IN (?, ?)");
  q.Bind(StateText(to)).Bind(finished_ms);
  if (message != nullptr) q.Bind(*message);
  q.Bind(id).Bind(StateText(from)).Bind(StateText(or_from));
  if (Status s = q.Run(); !s.ok()) return s;
  if (q.changes() != 1) {
    return Status::Error("receipt " + std::to_string(id) + " is not " +
                         std::string(StateName(from)));
  }
  return Status::Ok();
}

}  // namespace

Status Journal::MarkSending(std::int64_t id) {
  return Change(id, [&](const JournalConnection& c) {
    return ChangeState(c, id, State::kQueued, State::kQueued, State::kSending, nullptr, 0);
  });
}

Status Journal::MarkWaiting(int port, const std::string& reason, std::int64_t* since_ms) {
  const std::int64_t now = wall_();
  return writer_->Run([&](const JournalConnection& c) -> Status {
    Statement since(c, "UPDATE receipts SET waiting_since_ms = ? "
                       "WHERE state = ? AND port = ? AND waiting_since_ms = 0");
    since.Bind(now).Bind(StateText(State::kQueued)).Bind(std::int64_t{port});
    if (Status s = since.Run(); !s.ok()) return s;
    Statement why(c, "UPDATE receipts SET waiting_reason = ? "
                     "WHERE state = ? AND port = ? AND waiting_reason != ?");
    why.Bind(reason).Bind(StateText(State::kQueued)).Bind(std::int64_t{port}).Bind(reason);
    if (Status s = why.Run(); !s.ok()) return s;
    Statement oldest(c, "SELECT min(waiting_since_ms) FROM receipts "
                        "WHERE state = ? AND port = ? AND waiting_since_ms > 0");
    oldest.Bind(StateText(State::kQueued)).Bind(std::int64_t{port});
    bool row = false;
    if (Status s = oldest.Step(&row); !s.ok()) return s;
    // min() of no rows is NULL, read as 0: none waits (they ended meanwhile).
    *since_ms = row && oldest.Int(0) > 0 ? oldest.Int(0) : now;
    return Status::Ok();
  });
}

Status Journal::EndWaiting(int port) {
  return writer_->Run([&](const JournalConnection& c) -> Status {
    Statement q(c, "UPDATE receipts SET waiting_reason = '' "
                   "WHERE state = ? AND port = ? AND waiting_reason != ''");
    q.Bind(StateText(State::kQueued)).Bind(std::int64_t{port});
    return q.Run();
  });
}

Status Journal::FinishQueued(const std::vector<std::int64_t>& ids, State state,
                             const std::function<std::string(const StoredReceipt&)>& message,
                             std::vector<std::int64_t>* finished) {
  const std::int64_t now = wall_();
  bool answered = false;
  std::vector<std::int64_t> done;
  Status status = writer_->Run(
      [&](const JournalConnection& c) -> Status {
        done.clear();
        for (std::int64_t id : ids) {
          Statement get(c, (std::string("SELECT ") + kReceiptColumns +
                            " FROM receipts WHERE id = ? AND state = ?")
                               .c_str());
          get.Bind(id).Bind(StateText(State::kQueued));
          std::optional<StoredReceipt> receipt;
          if (Status s = QueryOne(c, get, &receipt); !s.ok()) return s;
          if (!receipt) continue;  // it went on meanwhile
          const std::string text = message(*receipt);
          if (Status s = ChangeState(c, id, State::kQueued, State::kQueued, state, &text, now);
              !s.ok()) {
            return s;
          }
          if (Status s = QueueAnswers(c, answer_body_, now, id, &answered); !s.ok()) return s;
          done.push_back(id);
        }
        return Status::Ok();
      },
      [&] {
        if (answered && outbox_changed_) outbox_changed_();
      });
  if (status.ok() && finished != nullptr) *finished = std::move(done);
  return status;
}

Status Journal::MarkTextSent(std::int64_t id, std::size_t index) {
  return writer_->Run([&](const JournalConnection& c) -> Status {
    Statement q(c, "UPDATE texts SET sent = 1 WHERE receipt_id = ? AND seq = ?");
    q.Bind(id).Bind(static_cast<std::int64_t>(index));
    if (Status s = q.Run(); !s.ok()) return s;
    if (q.changes() != 1) {
      return Status::Error("receipt " + std::to_string(id) + " has no text " +
                           std::to_string(index + 1));
    }
    return Status::Ok();
  });
}

Status Journal::Finish(std::int64_t id, State state, const std::string& message) {
  const std::int64_t now = wall_();
  return Change(id, [&](const JournalConnection& c) {
    return ChangeState(c, id, State::kSending, State::kQueued, state, &message, now);
  });
}

Status Journal::Requeue(std::int64_t id) {
  return Change(id, [&](const JournalConnection& c) {
    return ChangeState(c, id, State::kSending, State::kSending, State::kQueued, nullptr, 0);
  });
}

Status Journal::Resolve(std::int64_t id, bool printed, bool* found, bool* conflict) {
  *found = false;
  *conflict = false;
  const std::int64_t now = wall_();
  bool answered = false;
  return writer_->Run(
      [&](const JournalConnection& c) -> Status {
        Statement q(c, "SELECT state FROM receipts WHERE id = ?");
        q.Bind(id);
        bool row = false;
        if (Status s = q.Step(&row); !s.ok() || !row) return s;
        *found = true;
        const std::optional<State> state = ParseState(q.Text(0));
        if (!state || !NeedsDecision(*state)) {
          *conflict = true;
          return Status::Ok();
        }
        // What was decided takes the place of what asked for a decision.
        Statement u(c, "UPDATE receipts SET state = ?, finished_ms = ?, message = ? WHERE id = ?");
        u.Bind(StateText(printed ? State::kResolvedPrinted : State::kResolvedNotPrinted))
            .Bind(now)
            .Bind(std::string(printed ? kResolvedPrintedMessage : kResolvedNotPrintedMessage))
            .Bind(id);
        if (Status s = u.Run(); !s.ok()) return s;
        return QueueAnswers(c, answer_body_, wall_(), id, &answered);
      },
      [&] {
        if (answered && outbox_changed_) outbox_changed_();
      });
}

Status Journal::MarkInterruptedInDoubt(int* count) {
  *count = 0;
  const std::int64_t now = wall_();
  bool answered = false;
  return writer_->Run([&](const JournalConnection& c) -> Status {
    std::vector<std::int64_t> ids;
    {
      Statement q(c, "SELECT id FROM receipts WHERE state = ?");
      q.Bind(StateText(State::kSending));
      bool row = false;
      Status s = q.Step(&row);
      for (; s.ok() && row; s = q.Step(&row)) ids.push_back(q.Int(0));
      if (!s.ok()) return s;
    }
    Statement q(c, "UPDATE receipts SET state = ?, finished_ms = ?, message = "
                   "'fiskald stopped while sending this receipt; it is never sent again: "
                   "look at the printer, then resolve it as printed or not printed' "
                   "WHERE state = ?");
    q.Bind(StateText(State::kInDoubt)).Bind(now).Bind(StateText(State::kSending));
    if (Status s = q.Run(); !s.ok()) return s;
    *count = q.changes();
    for (std::int64_t id : ids) {
      if (Status s = QueueAnswers(c, answer_body_, wall_(), id, &answered); !s.ok()) return s;
    }
    return Status::Ok();
  }, [&] {
    if (answered && outbox_changed_) outbox_changed_();
  });
}

Status Journal::Purge(int keep_days, int* removed) {
  *removed = 0;
  const std::int64_t before = wall_() - std::int64_t{keep_days} * 24 * 3600 * 1000;
  return writer_->Run([&](const JournalConnection& c) -> Status {
    Statement q(c, "DELETE FROM receipts WHERE finished_ms > 0 AND finished_ms < ? "
                   "AND state NOT IN (?, ?, ?, ?)");
    q.Bind(before)
        .Bind(StateText(State::kQueued))
        .Bind(StateText(State::kSending))
        .Bind(StateText(State::kInDoubt))
        .Bind(StateText(State::kCut));
    if (Status s = q.Run(); !s.ok()) return s;
    *removed = q.changes();
    // Answers no broker took in that time (fiskald ran without one) go
    // too.
    Statement o(c, "DELETE FROM outbox WHERE stored_ms < ?");
    o.Bind(before);
    return o.Run();
  });
}

Status Journal::CheckWritable() {
  const std::int64_t now = wall_();
  return writer_->Run([&](const JournalConnection& c) {
    Statement q(c, "UPDATE health SET checked_ms = ? WHERE id = 1");
    q.Bind(now);
    return q.Run();
  });
}

}  // namespace fiskal::service

// The outbox: the answers to publish through the broker, each stored in
// the transaction of the change it reports, kept until the broker has it.
// Who waits for a receipt's answers and what each answer holds are
// written here only; the body of an answer is made by the service
// (Journal::SetOutbox).
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "service/journal/group_commit.h"
#include "service/journal/journal.h"
#include "service/journal/journal_internal.h"

namespace fiskal::service {

namespace journal_internal {

Status InsertAnswer(const JournalConnection& c, const OutboxAnswer& a, std::int64_t now) {
  Statement q(c, "INSERT INTO outbox(topic, correlation, content_type, state, payload, stored_ms) "
                 "VALUES(?, ?, ?, ?, ?, ?)");
  q.Bind(a.topic)
      .BindBlob(a.correlation)
      .Bind(a.content_type)
      .Bind(a.state)
      .BindBlob(a.payload)
      .Bind(now);
  return q.Run();
}

// Stores, inside the caller's transaction, the answer that reports
// receipt `id` as it is now, for everyone who waits for its answers
// through the broker; *added is set when there was one.
Status QueueAnswers(const JournalConnection& c, const AnswerBody& body, std::int64_t now,
                    std::int64_t id, bool* added, const AnswerTo* only) {
  if (!body) return Status::Ok();
  std::vector<AnswerTo> to;
  if (only != nullptr) {
    to.push_back(*only);
  } else {
    Statement q(c, "SELECT topic, correlation FROM answer_to WHERE receipt_id = ?");
    q.Bind(id);
    bool row = false;
    Status s = q.Step(&row);
    for (; s.ok() && row; s = q.Step(&row)) to.push_back({q.Text(0), q.Text(1)});
    if (!s.ok()) return s;
  }
  if (to.empty()) return Status::Ok();
  Statement q(c, (std::string("SELECT ") + kReceiptColumns + " FROM receipts WHERE id = ?").c_str());
  q.Bind(id);
  std::optional<StoredReceipt> receipt;
  if (Status s = QueryOne(c, q, &receipt); !s.ok() || !receipt) return s;
  const std::string payload = body(*receipt);
  for (const AnswerTo& t : to) {
    OutboxAnswer a{0, t.topic, t.correlation, "application/json", StateText(receipt->state),
                   payload};
    if (Status s = InsertAnswer(c, a, now); !s.ok()) return s;
  }
  *added = true;
  return Status::Ok();
}

}  // namespace journal_internal

using namespace journal_internal;

void Journal::SetOutbox(AnswerBody body, std::function<void()> changed) {
  answer_body_ = std::move(body);
  outbox_changed_ = std::move(changed);
}

Status Journal::Change(std::int64_t id, const std::function<Status(const JournalConnection&)>& work) {
  bool answered = false;
  return writer_->Run(
      [&](const JournalConnection& c) -> Status {
        if (Status s = work(c); !s.ok()) return s;
        return QueueAnswers(c, answer_body_, wall_(), id, &answered);
      },
      [&] {
        if (answered && outbox_changed_) outbox_changed_();
      });
}

Status Journal::AddAnswerTo(std::int64_t id, const AnswerTo& to) {
  bool answered = false;
  return writer_->Run(
      [&](const JournalConnection& c) -> Status {
        Statement q(c, "INSERT OR REPLACE INTO answer_to(receipt_id, topic, correlation) "
                       "VALUES(?, ?, ?)");
        q.Bind(id).Bind(to.topic).BindBlob(to.correlation);
        if (Status s = q.Run(); !s.ok()) return s;
        return QueueAnswers(c, answer_body_, wall_(), id, &answered, &to);
      },
      [&] {
        if (answered && outbox_changed_) outbox_changed_();
      });
}

Status Journal::StoreAnswer(const OutboxAnswer& answer) {
  const std::int64_t now = wall_();
  return writer_->Run([&](const JournalConnection& c) { return InsertAnswer(c, answer, now); },
                      [&] {
                        if (outbox_changed_) outbox_changed_();
                      });
}

Status Journal::Delivered(const std::vector<std::int64_t>& seqs) {
  if (seqs.empty()) return Status::Ok();
  return writer_->Run([&](const JournalConnection& c) -> Status {
    for (std::int64_t seq : seqs) {
      Statement q(c, "DELETE FROM outbox WHERE seq = ?");
      q.Bind(seq);
      if (Status s = q.Run(); !s.ok()) return s;
    }
    return Status::Ok();
  });
}

Status Journal::Outbox(std::int64_t after_seq, int limit, std::vector<OutboxAnswer>* answers) {
  Lease lease = Reader();
  const JournalConnection& reader = *lease.connection;
  Statement q(reader, "SELECT seq, topic, correlation, content_type, state, payload FROM outbox "
                      "WHERE seq > ? ORDER BY seq LIMIT ?");
  q.Bind(after_seq).Bind(limit);
  bool row = false;
  Status s = q.Step(&row);
  for (; s.ok() && row; s = q.Step(&row)) {
    answers->push_back({q.Int(0), q.Text(1), q.Text(2), q.Text(3), q.Text(4), q.Text(5)});
  }
  return s;
}

Status Journal::OutboxSize(std::int64_t* size) {
  Lease lease = Reader();
  Statement q(*lease.connection, "SELECT count(*) FROM outbox");
  bool row = false;
  if (Status s = q.Step(&row); !s.ok()) return s;
  *size = row ? q.Int(0) : 0;
  return Status::Ok();
}

}  // namespace fiskal::service

// The journal's reads of receipts, and a receipt's row as the journal
// stores it (its columns and how they are read back), written here only.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "service/journal/journal.h"
#include "service/journal/journal_internal.h"

namespace fiskal::service {

namespace journal_internal {

const char* const kReceiptColumns =
    "id, idempotency_key, body_sha256, state, port, device, message, accepted_ms, finished_ms, "
    "deadline_ms, waiting_since_ms, waiting_reason, receipt_sha256";

StoredReceipt ReceiptFromRow(const Statement& q) {
  StoredReceipt r;
  r.id = q.Int(0);
  r.idempotency_key = q.Text(1);
  r.body_sha256 = q.Text(2);
  r.state = ParseState(q.Text(3)).value_or(State::kInDoubt);
  r.port = static_cast<int>(q.Int(4));
  r.device = q.Text(5);
  r.message = q.Text(6);
  r.accepted_ms = q.Int(7);
  r.finished_ms = q.Int(8);
  r.deadline_ms = q.Int(9);
  r.waiting_since_ms = q.Int(10);
  r.waiting_reason = q.Text(11);
  r.receipt_sha256 = q.Text(12);
  return r;
}

Status LoadTexts(const JournalConnection& c, StoredReceipt* r) {
  Statement q(c, "SELECT bytes, label, pause_after, sent FROM texts WHERE receipt_id = ? "
                 "ORDER BY seq");
  q.Bind(r->id);
  bool row = false;
  Status s = q.Step(&row);
  for (; s.ok() && row; s = q.Step(&row)) {
    r->texts.push_back({q.Text(0), q.Text(1), q.Int(2) != 0, q.Int(3) != 0});
  }
  return s;
}

namespace {

// Runs a query for receipts and loads each one's texts.
Status QueryReceipts(const JournalConnection& c, Statement& q,
                     std::vector<StoredReceipt>* receipts) {
  bool row = false;
  Status s = q.Step(&row);
  for (; s.ok() && row; s = q.Step(&row)) receipts->push_back(ReceiptFromRow(q));
  if (!s.ok()) return s;
  for (StoredReceipt& r : *receipts) {
    if (Status t = LoadTexts(c, &r); !t.ok()) return t;
  }
  return Status::Ok();
}

}  // namespace

Status QueryOne(const JournalConnection& c, Statement& q,
                std::optional<StoredReceipt>* receipt) {
  std::vector<StoredReceipt> found;
  if (Status s = QueryReceipts(c, q, &found); !s.ok()) return s;
  if (found.empty()) {
    receipt->reset();
  } else {
    *receipt = std::move(found.front());
  }
  return Status::Ok();
}

std::string StateText(State state) { return std::string(StateName(state)); }

}  // namespace journal_internal

using namespace journal_internal;

Status Journal::Get(std::int64_t id, std::optional<StoredReceipt>* receipt) {
  Lease lease = Reader();
  const JournalConnection& reader = *lease.connection;
  Statement q(reader,
              (std::string("SELECT ") + kReceiptColumns + " FROM receipts WHERE id = ?").c_str());
  q.Bind(id);
  return QueryOne(reader, q, receipt);
}

Status Journal::FindByKey(const std::string& key, std::optional<StoredReceipt>* receipt) {
  Lease lease = Reader();
  const JournalConnection& reader = *lease.connection;
  Statement q(reader, (std::string("SELECT ") + kReceiptColumns +
                         " FROM receipts WHERE idempotency_key = ?")
                            .c_str());
  q.Bind(key);
  return QueryOne(reader, q, receipt);
}

Status Journal::List(std::optional<State> state, std::int64_t before, int limit,
                     const std::function<bool(StoredReceipt&&)>& each, bool* more) {
  *more = false;
  Lease lease = Reader();
  const JournalConnection& reader = *lease.connection;
  std::string sql = std::string("SELECT ") + kReceiptColumns + " FROM receipts WHERE 1";
  if (state) sql += " AND state = ?";
  if (before > 0) sql += " AND id < ?";
  // One row past the limit tells whether more follow; its texts are not read.
  sql += " ORDER BY id DESC LIMIT ?";
  Statement q(reader, sql.c_str());
  if (state) q.Bind(StateText(*state));
  if (before > 0) q.Bind(before);
  q.Bind(std::int64_t{limit} + 1);
  int taken = 0;
  bool row = false;
  Status s = q.Step(&row);
  for (; s.ok() && row; s = q.Step(&row)) {
    if (taken == limit) {
      *more = true;
      break;
    }
    // One receipt's texts in memory at a time.
    StoredReceipt r = ReceiptFromRow(q);
    if (Status t = LoadTexts(reader, &r); !t.ok()) return t;
    if (!each(std::move(r))) {
      *more = true;
      break;
    }
    ++taken;
  }
  return s;
}

Status Journal::Queued(std::vector<std::pair<std::int64_t, int>>* ids_and_ports) {
  Lease lease = Reader();
  const JournalConnection& reader = *lease.connection;
  Statement q(reader, "SELECT id, port FROM receipts WHERE state = ? ORDER BY id");
  q.Bind(StateText(State::kQueued));
  bool row = false;
  Status s = q.Step(&row);
  for (; s.ok() && row; s = q.Step(&row)) {
    ids_and_ports->emplace_back(q.Int(0), static_cast<int>(q.Int(1)));
  }
  return s;
}

Status Journal::QueuedOn(int port, std::vector<std::int64_t>* ids) {
  Lease lease = Reader();
  Statement q(*lease.connection,
              "SELECT id FROM receipts WHERE state = ? AND port = ? ORDER BY id");
  q.Bind(StateText(State::kQueued)).Bind(std::int64_t{port});
  bool row = false;
  Status s = q.Step(&row);
  for (; s.ok() && row; s = q.Step(&row)) ids->push_back(q.Int(0));
  return s;
}

Status Journal::Overdue(int port, std::int64_t waiting_since_up_to, std::int64_t now,
                        std::vector<std::int64_t>* ids) {
  Lease lease = Reader();
  Statement q(*lease.connection,
              "SELECT id FROM receipts WHERE state = ? AND port = ? AND "
              "((waiting_since_ms > 0 AND waiting_since_ms <= ?) OR "
              "(deadline_ms > 0 AND deadline_ms <= ?)) ORDER BY id");
  q.Bind(StateText(State::kQueued)).Bind(std::int64_t{port}).Bind(waiting_since_up_to).Bind(now);
  bool row = false;
  Status s = q.Step(&row);
  for (; s.ok() && row; s = q.Step(&row)) ids->push_back(q.Int(0));
  return s;
}

Status Journal::CountByState(std::map<State, std::int64_t>* counts) {
  Lease lease = Reader();
  const JournalConnection& reader = *lease.connection;
  for (State state : kAllStates) (*counts)[state] = 0;
  Statement q(reader, "SELECT state, count(*) FROM receipts GROUP BY state");
  bool row = false;
  Status s = q.Step(&row);
  for (; s.ok() && row; s = q.Step(&row)) {
    if (auto state = ParseState(q.Text(0))) (*counts)[*state] = q.Int(1);
  }
  return s;
}

}  // namespace fiskal::service

#include "service/journal/journal.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <iterator>
#include <mutex>
#include <thread>
#include <utility>

#include "service/journal/journal_file.h"
#include "service/journal/same_receipt.h"

namespace fiskal::service {

namespace {

// Connections that read, beside the one that writes.
constexpr int kReaders = 4;

// Marks the file as this program's journal ("FSKL").
constexpr int kApplicationId = 0x46534B4C;
constexpr int kSchemaVersion = 4;

// A journal is made as version 1 was, then brought up step by step as an
// older journal is: each table is written once, and a new journal and an
// upgraded one are the same.
constexpr const char* kSchema = R"sql(
CREATE TABLE receipts(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  idempotency_key TEXT NOT NULL UNIQUE,
  body_sha256 BLOB NOT NULL,
  state TEXT NOT NULL,
  port INTEGER NOT NULL,
  device TEXT NOT NULL,
  message TEXT NOT NULL DEFAULT '',
  accepted_ms INTEGER NOT NULL,
  finished_ms INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX receipts_by_state ON receipts(state, id);
CREATE TABLE texts(
  receipt_id INTEGER NOT NULL REFERENCES receipts(id) ON DELETE CASCADE,
  seq INTEGER NOT NULL,
  bytes BLOB NOT NULL,
  label TEXT NOT NULL,
  pause_after INTEGER NOT NULL,
  sent INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY(receipt_id, seq)
) WITHOUT ROWID;
CREATE TABLE health(id INTEGER PRIMARY KEY CHECK (id = 1), checked_ms INTEGER NOT NULL);
INSERT INTO health VALUES(1, 0);
)sql";

// Version 1 (before the broker) made version 2: a receipt's deadline, who
// waits for its answers, and the answers to publish.
constexpr const char* kFromVersion1 = R"sql(
ALTER TABLE receipts ADD COLUMN deadline_ms INTEGER NOT NULL DEFAULT 0;
CREATE TABLE answer_to(
  receipt_id INTEGER NOT NULL REFERENCES receipts(id) ON DELETE CASCADE,
  topic TEXT NOT NULL,
  correlation BLOB NOT NULL,
  PRIMARY KEY(receipt_id, topic)
) WITHOUT ROWID;
CREATE TABLE outbox(
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  topic TEXT NOT NULL,
  correlation BLOB NOT NULL,
  content_type TEXT NOT NULL,
  state TEXT NOT NULL,
  payload BLOB NOT NULL,
  stored_ms INTEGER NOT NULL DEFAULT 0
);
PRAGMA user_version=2;
)sql";

// Version 2 made version 3: a receipt held for its port, since when (its
// first failed try, from which its hold counts) and why.
constexpr const char* kFromVersion2 = R"sql(
ALTER TABLE receipts ADD COLUMN waiting_since_ms INTEGER NOT NULL DEFAULT 0;
ALTER TABLE receipts ADD COLUMN waiting_reason TEXT NOT NULL DEFAULT '';
PRAGMA user_version=3;
)sql";

// Version 3 made version 4: each receipt's fingerprint (what tells the
// same receipt under its key, service/journal/same_receipt.h), computed for the
// receipts stored before from their port and texts.
constexpr const char* kFromVersion3 = R"sql(
ALTER TABLE receipts ADD COLUMN receipt_sha256 BLOB NOT NULL DEFAULT x'';
PRAGMA user_version=4;
)sql";
Status FillFingerprints(const JournalConnection& c);

// A step from one version to the next: its SQL, then what only code can
// do (nothing: null). Each step runs in one transaction: a step that does
// not end (the process dies, the disk is full) leaves the older version
// whole, and it is brought up again at the next open.
struct Upgrade {
  const char* sql;
  Status (*code)(const JournalConnection&);
};

// The steps from each older version, in order: index v brings version v+1
// to v+2.
constexpr Upgrade kUpgrades[] = {
    {kFromVersion1, nullptr}, {kFromVersion2, nullptr}, {kFromVersion3, FillFingerprints}};
static_assert(std::size(kUpgrades) == kSchemaVersion - 1);

}  // namespace

int StoredReceipt::texts_sent() const {
  int n = 0;
  for (const JournalText& t : texts) n += t.sent ? 1 : 0;
  return n;
}

WallClock SystemWallClock() {
  return [] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
}

// One SQLite connection, with the journal's path for messages.
struct JournalConnection {
  sqlite3* db = nullptr;
  std::string path;
  std::mutex mu;  // the reading connection is shared by the request threads

  ~JournalConnection() {
    if (db != nullptr) sqlite3_close_v2(db);
  }

  Status Error(const std::string& what) const {
    return Status::Error("journal " + path + ": " + what + ": " +
                         (db != nullptr ? sqlite3_errmsg(db) : "out of memory"));
  }

  Status Exec(const char* sql) const {
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
      std::string text = error != nullptr ? error : sqlite3_errmsg(db);
      sqlite3_free(error);
      return Status::Error("journal " + path + ": " + text);
    }
    return Status::Ok();
  }
};

namespace {

// A prepared statement, finalized on destruction. Binding is by position,
// from 1.
class Statement {
 public:
  Statement(const JournalConnection& c, const char* sql) : c_(c) {
    if (sqlite3_prepare_v2(c.db, sql, -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(std::int64_t value) {
    if (stmt_ != nullptr) sqlite3_bind_int64(stmt_, next_++, value);
    return *this;
  }
  Statement& Bind(const std::string& text) {
    if (stmt_ != nullptr) {
      sqlite3_bind_text(stmt_, next_++, text.data(), static_cast<int>(text.size()),
                        SQLITE_TRANSIENT);
    }
    return *this;
  }
  Statement& BindBlob(const std::string& bytes) {
    if (stmt_ != nullptr) {
      sqlite3_bind_blob(stmt_, next_++, bytes.data(), static_cast<int>(bytes.size()),
                        SQLITE_TRANSIENT);
    }
    return *this;
  }

  // Steps once: *row is true when a row came.
  Status Step(bool* row) {
    *row = false;
    if (stmt_ == nullptr) return c_.Error("cannot prepare a statement");
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) {
      *row = true;
      return Status::Ok();
    }
    if (rc == SQLITE_DONE) return Status::Ok();
    return c_.Error("cannot run a statement");
  }
  // Runs to the end, for statements that return no rows.
  Status Run() {
    bool row = false;
    Status s = Step(&row);
    while (s.ok() && row) s = Step(&row);
    return s;
  }

  std::int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }
  std::string Text(int column) const {
    const void* data = sqlite3_column_blob(stmt_, column);
    const int size = sqlite3_column_bytes(stmt_, column);
    return data != nullptr ? std::string(static_cast<const char*>(data), size) : std::string();
  }
  int changes() const { return sqlite3_changes(c_.db); }

 private:
  const JournalConnection& c_;
  sqlite3_stmt* stmt_ = nullptr;
  int next_ = 1;
};

Status OpenConnection(const std::string& path, JournalConnection* c) {
  c->path = path;
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(path.c_str(), &c->db, flags, nullptr) != SQLITE_OK) {
    return c->Error("cannot open");
  }
  sqlite3_extended_result_codes(c->db, 1);
  // Readers and the writer never wait long for each other in WAL mode;
  // a checkpoint may hold the file briefly.
  sqlite3_busy_timeout(c->db, 5000);
  if (Status s = c->Exec("PRAGMA journal_mode=WAL"); !s.ok()) return s;
  if (Status s = c->Exec("PRAGMA synchronous=FULL"); !s.ok()) return s;
  // A small page cache each: the journal's reads are by key and recent.
  if (Status s = c->Exec("PRAGMA cache_size=-1024"); !s.ok()) return s;
  return c->Exec("PRAGMA foreign_keys=ON");
}

Status PragmaInt(const JournalConnection& c, const char* sql, int* value) {
  Statement q(c, sql);
  bool row = false;
  if (Status s = q.Step(&row); !s.ok()) return s;
  *value = row ? static_cast<int>(q.Int(0)) : 0;
  return Status::Ok();
}

// Makes a new journal under a name of its own, then gives it `path`. A
// file at `path` is so always a whole journal, never an empty file a crash
// left behind; a file that is there already (another fiskald made it
// meanwhile) is left as it is.
Status CreateJournal(const std::string& path) {
  const std::string made = MakingName(path);
  RemoveFile(made);
  RemoveFile(made + "-journal");
  if (Status s = CreatePrivateFile(made); !s.ok()) return s;
  Status s;
  {
    JournalConnection c;
    c.path = path;
    if (sqlite3_open_v2(made.c_str(), &c.db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
      s = c.Error("cannot create");
    }
    if (s.ok()) s = c.Exec("PRAGMA synchronous=FULL");
    if (s.ok()) s = c.Exec("BEGIN IMMEDIATE");
    if (s.ok()) s = c.Exec(kSchema);
    for (const Upgrade& upgrade : kUpgrades) {
      if (s.ok()) s = c.Exec(upgrade.sql);
      if (s.ok() && upgrade.code != nullptr) s = upgrade.code(c);
    }
    if (s.ok()) {
      s = c.Exec(("PRAGMA application_id=" + std::to_string(kApplicationId) +
                  "; PRAGMA user_version=" + std::to_string(kSchemaVersion))
                     .c_str());
    }
    if (s.ok()) s = c.Exec("COMMIT");
  }
  if (!s.ok()) {
    RemoveFile(made);
    RemoveFile(made + "-journal");
    return s;
  }
  bool existed = false;
  return PublishFile(made, path, &existed);
}

// Refuses a file that is not a journal of this program, or is one of a
// newer version, without writing to it: an empty file (a journal is never
// empty: taking it for a new one would forget every key, and print every
// old receipt again when it comes back), a file that is no database, and
// another program's database (which is read, never converted).
Status CheckIsJournal(const std::string& path, OpenFile file, int* version) {
  static constexpr std::string_view kMagic{"SQLite format 3\0", 16};
  std::uint64_t length = 0;
  std::string start;
  if (Status s = ReadFileStart(file, path, kMagic.size(), &length, &start); !s.ok()) return s;
  if (length == 0 && !FileExists(path + "-wal")) {
    return Status::Error("journal " + path +
                         ": the file is empty, so it is not a journal (a journal is never "
                         "empty); give the path of the journal, or remove the file to begin a "
                         "new one");
  }
  if (length > 0 && start != kMagic) {
    return Status::Error("journal " + path +
                         ": the file is not a fiskald journal (not a database at all); it was "
                         "left as it is");
  }
  JournalConnection c;
  c.path = path;
  if (sqlite3_open_v2(path.c_str(), &c.db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    return c.Error("cannot open");
  }
  sqlite3_busy_timeout(c.db, 5000);
  int application = 0;
  if (Status s = PragmaInt(c, "PRAGMA application_id", &application); !s.ok()) {
    return Status::Error("journal " + path + ": not a journal (" + s.message() + ")");
  }
  if (application != kApplicationId) {
    return Status::Error("journal " + path +
                         ": the file is a database of another program, not a fiskald journal; "
                         "it was left as it is");
  }
  if (Status s = PragmaInt(c, "PRAGMA user_version", version); !s.ok()) return s;
  if (*version > kSchemaVersion) {
    return Status::Error("journal " + path + ": written by a newer fiskald (journal version " +
                         std::to_string(*version) + "); this one reads version " +
                         std::to_string(kSchemaVersion));
  }
  return Status::Ok();
}

}  // namespace

// The one connection that writes. Jobs are committed in batches (a group
// commit), each inside a savepoint of its own so one failing job leaves
// the others whole: the caller whose job is first in line when no commit
// runs commits every job waiting then, its own and the others', while the
// jobs that come meanwhile wait for the next batch. No thread of its own:
// a lone write costs no hand-over to another thread and back.
class Journal::Writer {
 public:
  using Work = std::function<Status(const JournalConnection&)>;

  Status Start(const std::string& path) { return OpenConnection(path, &c_); }

  const JournalConnection& connection() const { return c_; }

  // Runs `work` inside the next transaction and waits for its commit.
  // `after` runs once the commit is durable, in commit order, on the
  // thread that committed the batch.
  Status Run(Work work, std::function<void()> after = {}) {
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

 private:
  struct Job {
    Work work;
    std::function<void()> after;
    Status result;
    bool done = false;
  };

  void Commit(const std::deque<Job*>& batch) {
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

  JournalConnection c_;
  std::mutex mu_;
  std::condition_variable done_;
  std::deque<Job*> pending_;
  bool committing_ = false;
};

namespace {

constexpr const char* kReceiptColumns =
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

// The fingerprint of every receipt stored, from its port and texts.
Status FillFingerprints(const JournalConnection& c) {
  std::vector<std::pair<std::int64_t, int>> receipts;
  {
    Statement q(c, "SELECT id, port FROM receipts ORDER BY id");
    bool row = false;
    Status s = q.Step(&row);
    for (; s.ok() && row; s = q.Step(&row)) {
      receipts.emplace_back(q.Int(0), static_cast<int>(q.Int(1)));
    }
    if (!s.ok()) return s;
  }
  for (const auto& [id, port] : receipts) {
    StoredReceipt r;
    r.id = id;
    if (Status s = LoadTexts(c, &r); !s.ok()) return s;
    Statement u(c, "UPDATE receipts SET receipt_sha256 = ? WHERE id = ?");
    u.BindBlob(ReceiptFingerprint(port, r.texts)).Bind(id);
    if (Status s = u.Run(); !s.ok()) return s;
  }
  return Status::Ok();
}

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
                    std::int64_t id, bool* added, const AnswerTo* only = nullptr) {
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

}  // namespace

void Journal::SetOutbox(AnswerBody body, std::function<void()> changed) {
  answer_body_ = std::move(body);
  outbox_changed_ = std::move(changed);
}

Status Journal::Open(const std::string& path, WallClock wall, std::unique_ptr<Journal>* journal) {
  if (sqlite3_threadsafe() == 0) return Status::Error("SQLite was built without threads");
  // No count of SQLite's memory: kept, it takes one mutex of the whole
  // process on every allocation of every connection.
  static const bool configured = [] {
    return sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0) == SQLITE_OK;
  }();
  (void)configured;
  if (!FileExists(path)) {
    if (Status s = CreateJournal(path); !s.ok()) return s;
  }
  std::unique_ptr<Journal> j(new Journal());
  j->path_ = path;
  j->wall_ = std::move(wall);
  OpenFile lock{};
  if (Status s = LockJournalFile(path, &lock); !s.ok()) return s;
  j->lock_ = lock;
  int version = 0;
  if (Status s = CheckIsJournal(path, lock, &version); !s.ok()) return s;
  for (int i = 0; i < kReaders; ++i) {
    j->readers_.push_back(std::make_unique<JournalConnection>());
    if (Status s = OpenConnection(path, j->readers_.back().get()); !s.ok()) return s;
  }
  j->writer_ = std::make_unique<Writer>();
  if (Status s = j->writer_->Start(path); !s.ok()) return s;
  for (int from = std::max(version, 1); from < kSchemaVersion; ++from) {
    const Upgrade& upgrade = kUpgrades[from - 1];
    if (Status s = j->writer_->Run([&](const JournalConnection& c) {
          Status done = c.Exec(upgrade.sql);
          if (done.ok() && upgrade.code != nullptr) done = upgrade.code(c);
          return done;
        });
        !s.ok()) {
      return Status::Error("cannot bring the journal from version " + std::to_string(from) +
                           " to " + std::to_string(from + 1) + ": " + s.message());
    }
  }
  *journal = std::move(j);
  return Status::Ok();
}

Journal::~Journal() {
  // SQLite closes the file first: the lock's descriptor goes last.
  writer_.reset();
  readers_.clear();
  if (lock_) CloseJournalFile(*lock_);
}

struct Journal::Lease {
  std::unique_lock<std::mutex> lock;
  JournalConnection* connection = nullptr;
};

Journal::Lease Journal::Reader() {
  for (const auto& r : readers_) {
    std::unique_lock<std::mutex> lock(r->mu, std::try_to_lock);
    if (lock.owns_lock()) return {std::move(lock), r.get()};
  }
  JournalConnection* r = readers_[next_reader_.fetch_add(1) % readers_.size()].get();
  return {std::unique_lock<std::mutex>(r->mu), r};
}

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
        Statement u(c, "UPDATE receipts SET state = ?, finished_ms = ? WHERE id = ?");
        u.Bind(StateText(printed ? State::kResolvedPrinted : State::kResolvedNotPrinted))
            .Bind(now)
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

Status Journal::CheckWritable() {
  const std::int64_t now = wall_();
  return writer_->Run([&](const JournalConnection& c) {
    Statement q(c, "UPDATE health SET checked_ms = ? WHERE id = 1");
    q.Bind(now);
    return q.Run();
  });
}

}  // namespace fiskal::service

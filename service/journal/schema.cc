// The journal's tables and the steps that bring an older journal up to
// this version, one transaction each, written here only: version 1's
// tables, the SQL of each step, and the code of the step to version 4,
// which computes each stored receipt's fingerprint (receipt_sha256). The
// version and the file's mark are in service/journal/schema.h.
#include "service/journal/schema.h"

#include <cstdint>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "service/journal/journal_internal.h"
#include "service/journal/same_receipt.h"

namespace fiskal::service::journal_internal {

namespace {

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

Status WriteSchema(const JournalConnection& c) {
  Status s = c.Exec(kSchema);
  for (const Upgrade& upgrade : kUpgrades) {
    if (s.ok()) s = c.Exec(upgrade.sql);
    if (s.ok() && upgrade.code != nullptr) s = upgrade.code(c);
  }
  if (s.ok()) {
    s = c.Exec(("PRAGMA application_id=" + std::to_string(kApplicationId) +
                "; PRAGMA user_version=" + std::to_string(kSchemaVersion))
                   .c_str());
  }
  return s;
}

Status UpgradeFrom(const JournalConnection& c, int from) {
  const Upgrade& upgrade = kUpgrades[from - 1];
  Status done = c.Exec(upgrade.sql);
  if (done.ok() && upgrade.code != nullptr) done = upgrade.code(c);
  return done;
}

}  // namespace fiskal::service::journal_internal

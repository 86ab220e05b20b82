// What the files of service/journal/ share and no one else sees: the
// reading connection a read holds, the making and the check of the
// journal's file (identity.cc), a receipt's row as the journal stores it
// (receipt_reads.cc), and the answers the outbox stores with a change
// (outbox.cc). The SQLite wrapper is service/journal/sqlite.h, the group
// commit service/journal/group_commit.h, the version service/journal/schema.h.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "base/open_file.h"
#include "base/status.h"
#include "service/journal/journal.h"
#include "service/journal/sqlite.h"
#include "service/state.h"

namespace fiskal::service {

// A reading connection, held (locked) while the lease lives.
struct Journal::Lease {
  std::unique_lock<std::mutex> lock;
  JournalConnection* connection = nullptr;
};

namespace journal_internal {

// --- identity.cc ---

// Makes a new journal under a name of its own, then gives it `path`.
Status CreateJournal(const std::string& path);
// Refuses a file that is not a journal of this program, or is one of a
// newer version, without writing to it; *version: the file's.
Status CheckIsJournal(const std::string& path, OpenFile file, int* version);

// --- receipt_reads.cc ---

// The columns of a receipt's row, in the order ReceiptFromRow reads them.
extern const char* const kReceiptColumns;
StoredReceipt ReceiptFromRow(const Statement& q);
// Reads the receipt's texts, in sending order.
Status LoadTexts(const JournalConnection& c, StoredReceipt* r);
// Runs a query for a receipt (of kReceiptColumns) and loads its texts;
// empty when there is none.
Status QueryOne(const JournalConnection& c, Statement& q, std::optional<StoredReceipt>* receipt);
// A state as the journal stores it.
std::string StateText(State state);

// --- outbox.cc ---

Status InsertAnswer(const JournalConnection& c, const OutboxAnswer& a, std::int64_t now);
// Stores, inside the caller's transaction, the answer that reports
// receipt `id` as it is now, for everyone who waits for its answers
// through the broker (or for `only`); *added is set when there was one.
Status QueueAnswers(const JournalConnection& c, const AnswerBody& body, std::int64_t now,
                    std::int64_t id, bool* added, const AnswerTo* only = nullptr);

}  // namespace journal_internal
}  // namespace fiskal::service

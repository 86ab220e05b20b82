// The journal's stored format, its version and the mark that says a file
// is this program's journal: written here only (the tables and the steps
// from each older version are in service/journal/schema.cc).
#pragma once

#include "base/status.h"

namespace fiskal::service {

struct JournalConnection;

namespace journal_internal {

// Marks the file as this program's journal ("FSKL").
inline constexpr int kApplicationId = 0x46534B4C;
// The version this program writes, and the newest it reads.
inline constexpr int kSchemaVersion = 4;

// Writes a new journal's tables (version 1's, brought up by every step
// after it), its mark and its version, inside the caller's transaction.
Status WriteSchema(const JournalConnection& c);

// Brings a journal of version `from` (1 to kSchemaVersion - 1) to version
// from + 1, inside the caller's transaction.
Status UpgradeFrom(const JournalConnection& c, int from);

}  // namespace journal_internal
}  // namespace fiskal::service

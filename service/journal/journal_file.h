// The journal's file as the system has it: a new journal is made whole
// under a name of its own and only then given the journal's path (so a
// file at that path is always a whole journal, or not one of ours), and
// the file is locked for the service's whole life, so that a second
// fiskald on the same journal is refused before it changes anything.
#pragma once

#include <cstdint>
#include <string>

#include "base/open_file.h"
#include "base/status.h"

namespace fiskal::service {

bool FileExists(const std::string& path);

// Creates `made` (mode 0600), empty, the file that becomes `journal`;
// fails when it exists. A failure names the journal and its folder, not
// the passing name.
Status CreatePrivateFile(const std::string& made, const std::string& journal);

// The hint for a journal that cannot be created because its folder is not
// there (the same on every platform).
inline constexpr const char* kMissingJournalFolder =
    "make the folder first, or give --journal a path in a folder that exists";

// Gives the finished file `made` the name `path`, unless something has it
// already (*existed then; `made` is removed either way), and makes the
// name durable.
Status PublishFile(const std::string& made, const std::string& path, bool* existed);

// Removes a file, if it is there.
void RemoveFile(const std::string& path);

// Opens the journal file and takes its lock without waiting. Fails when
// another process holds it ("... is in use by another fiskald").
Status LockJournalFile(const std::string& path, OpenFile* file);

// The refusal of a journal another process holds, on every platform.
inline Status JournalInUse(const std::string& path) {
  return Status::Error("journal " + path +
                       " is in use by another fiskald (it holds the journal's lock); one "
                       "journal serves one fiskald");
}
void CloseJournalFile(OpenFile file);

// The file's size, and its first bytes (up to `size` of them).
Status ReadFileStart(OpenFile file, const std::string& path, std::size_t size,
                     std::uint64_t* length, std::string* start);

// A name for the file a process makes beside `path` before publishing it.
std::string MakingName(const std::string& path);

}  // namespace fiskal::service

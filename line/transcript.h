// The transcript: one record per text sent, in order, and nothing else.
// The record format lives in protocol/transcript_record.h.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "base/status.h"

namespace fiskal {

class Transcript {
 public:
  virtual ~Transcript() = default;
  // Appends the record of the text. When this returns ok, the record has
  // reached the file (it survives the program's crash).
  virtual Status Record(std::string_view text) = 0;
  // Flushes the file to its storage and closes it.
  virtual Status Close() = 0;
};

// Creates (or empties) the transcript file at path, holding the lock of the
// folder's receipt runs (LockFolderForRun, line/run_lock.h, on the file
// itself) until the transcript is destroyed. Fails with
// "another receipt run is using this folder", leaving the file as it is,
// when another run holds it.
Status CreateFileTranscript(const std::string& path,
                            std::unique_ptr<Transcript>* transcript);

}  // namespace fiskal

// Everything a receipt run does to the world goes through an Env: reading
// the input file, creating the transcript, the serial ports and the clock.
// Tests give the run an Env of fakes that record what happened.
#pragma once

#include <memory>
#include <string>

#include "base/status.h"
#include "line/clock.h"
#include "line/printer_line.h"
#include "line/transcript.h"

namespace fiskal {

class Env : public PortFactory, public StopFlag {
 public:
  // Reads the whole file. Fails when it is missing or unreadable.
  virtual Status ReadFile(const std::string& path, std::string* contents) = 0;
  virtual Status CreateTranscript(const std::string& path,
                                  std::unique_ptr<Transcript>* transcript) = 0;
  virtual Clock& clock() = 0;
};

// The real environment: files in the current folder, the serial ports named
// by FISKAL_COM<n> or the system's own (each held with a run lock), the
// monotonic clock, and the stop signals, which it starts catching.
Env& SystemEnv();

}  // namespace fiskal

// The receipt run: read fiskal.txt, build and check the whole receipt, then
// send it text by text through the printer line, pacing the frames.
#pragma once

#include <cstddef>

#include "line/clock.h"
#include "line/printer_line.h"
#include "line/transcript.h"
#include "receipt/env.h"
#include "receipt/outcome.h"
#include "receipt/receipt.h"

namespace fiskal {

inline constexpr const char* kInputFile = "fiskal.txt";
inline constexpr const char* kTranscriptFile = "fiskal.log";

// How far sending a receipt got.
struct Sent {
  Outcome outcome;
  // Texts that reached the port whole (in log-only mode: were recorded),
  // the failed one included when only its record failed.
  std::size_t texts_out = 0;
};

// Sends the texts of a checked receipt through the printer line: the port
// from `ports`, the record of each text to `transcript`, a pause after the
// begin and item frames. Stops at the first failure, or between texts when
// `stop` is raised; the outcome says how far it got, as fiskal prints it.
// The transcript is not closed.
Sent SendReceipt(PortFactory& ports, Clock& clock, StopFlag& stop, const Receipt& receipt,
                 Transcript& transcript);

// One whole run in the current folder of env. Input that must be refused is
// refused before the first text goes out; once sending has begun, the first
// failure ends the run and the outcome says how far it got.
Outcome RunReceipt(Env& env);

}  // namespace fiskal

// The receipt run: read fiskal.txt, build and check the whole receipt, then
// send it text by text through the printer line, pacing the frames.
#pragma once

#include <string_view>

#include "receipt/env.h"
#include "receipt/outcome.h"

namespace fiskal {

inline constexpr const char* kInputFile = "fiskal.txt";
inline constexpr const char* kTranscriptFile = "fiskal.log";
inline constexpr float kPauseSeconds = 0.5f;

// One whole run in the current folder of env. Input that must be refused is
// refused before the first text goes out; once sending has begun, the first
// failure ends the run and the outcome says how far it got.
Outcome RunReceipt(Env& env);

}  // namespace fiskal

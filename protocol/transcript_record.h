// The transcript record: a double quote, the bytes of the text unchanged
// (double quotes, ESC, CR and LF included), a double quote, CR, LF. Written
// and split here only.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "protocol/raw_text.h"

namespace fiskal {

// The record of one text.
std::string TranscriptRecord(std::string_view text);

// Whether a file is a transcript (records in double quotes ending CR LF)
// rather than a raw capture of the line.
bool IsTranscript(std::string_view file);

// The texts of a transcript. A record is a double quote, the text, a double
// quote, CR, LF; the text runs to the first double quote followed by CR LF.
// Bytes that do not form a record are returned as stray texts, and
// `problems` gets a line for each.
std::vector<RawText> SplitTranscript(std::string_view file,
                                     std::vector<std::string>* problems);

}  // namespace fiskal

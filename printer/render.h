// How fiskal-printer shows a receipt to a person and to a script.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "protocol/frame_decoder.h"
#include "protocol/pacing.h"
#include "protocol/receipt_check.h"

namespace fiskal {

// A text's bytes made readable: control bytes as \xNN (ESC as \e, CR as
// \r), other bytes as they are.
std::string Visible(std::string_view bytes);

// One line about one text, as the listener prints it when the text comes.
std::string DescribeText(const DecodedText& text);

// The whole receipt: version, begin, an aligned table of items, footer
// (its LF bytes as line breaks), total, then the verdict and the problems.
// `source` names where the texts came from ("fiskal.log: transcript").
std::string RenderReceipt(const ReceiptReport& report, std::string_view source);

// The same as JSON. Bytes are given as the code points U+0000 to U+00FF of
// the same value, so nothing is lost whatever the code page; printed
// amounts are JSON numbers with their two decimals as printed.
std::string RenderJson(const ReceiptReport& report, std::string_view file,
                       std::string_view format);

// When the texts of a receipt heard on the line arrived, and the pauses
// after its begin and item frames.
struct LineTiming {
  std::vector<TimedText> texts;  // one per text of the report, in order
  std::vector<Pause> pauses;
};

// The same with the timing: every text gets "first" and "last" (when the
// reads that brought its first and last byte returned, in seconds on the
// monotonic clock), and after the texts come "pauses" (one per begin or
// item frame: "after" its number, "seconds" as read, "longest" it can have
// been, "too_soon") and "paced".
std::string RenderJson(const ReceiptReport& report, std::string_view file,
                       std::string_view format, const LineTiming& timing);

}  // namespace fiskal

// Decoding one text: which frame it is, its checksum, and its fields as
// printed. The inverse of the frame builders; pure, no I/O.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/raw_text.h"

namespace fiskal {

enum class TextKind {
  kVersion,       // the version text
  kBegin,         // begin frame
  kItem,          // item frame
  kEnd,           // end frame
  kOtherFrame,    // ESC P ... ESC \ that is none of the above
  kTruncated,     // ESC P ... without its closing ESC \ .
  kStray,         // bytes outside any frame
};

std::string_view KindName(TextKind kind);

// A text decoded into its fields. Amount fields are the texts as printed.
struct DecodedText {
  TextKind kind = TextKind::kStray;
  RawText raw;
  // Frames: the body and the checksum as sent, and what the body gives.
  std::string body;
  std::string checksum;
  std::string expected_checksum;
  // Item frames.
  std::optional<int> number;
  std::string name;
  std::string quantity;
  std::string tax_letter;
  std::string unit_price;
  std::string line_value;
  // End frames.
  std::string footer;
  std::string total;
  // What is wrong with the text on its own (checksum, malformed fields).
  std::vector<std::string> problems;

  bool checksum_ok() const { return checksum == expected_checksum; }
};

DecodedText DecodeText(const RawText& raw);

// A printed amount ("12.50", "-2.50"): its value, or nothing when the text
// is not an amount of that form.
std::optional<double> ParseAmount(std::string_view text);

}  // namespace fiskal

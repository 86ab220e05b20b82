// Reading printer texts back: the inverse of the frame builders. Splits a
// byte stream (raw bytes off the line, or a transcript) into texts, decodes
// each frame into its fields, and checks a receipt for consistency. Pure
// functions and a push-style splitter; no I/O.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// One text as it crossed the line.
struct RawText {
  std::string bytes;
  std::size_t offset = 0;  // of its first byte in the stream or file
};

// Splits a stream of raw bytes into texts as they complete. Feed bytes in
// any pieces; Finish() ends the stream (a frame still open is truncated).
class TextSplitter {
 public:
  // Returns the texts completed by these bytes.
  std::vector<RawText> Feed(std::string_view bytes);
  std::vector<RawText> Finish();
  // True while bytes of an unfinished text are held.
  bool pending() const { return !held_.empty(); }

 private:
  std::vector<RawText> Split(bool at_end);

  std::string held_;
  std::size_t held_offset_ = 0;
};

// Whether a file is a transcript (records in double quotes ending CR LF)
// rather than a raw capture of the line.
bool IsTranscript(std::string_view file);

// The texts of a transcript. A record is a double quote, the text, a double
// quote, CR, LF; the text runs to the first double quote followed by CR LF.
// Bytes that do not form a record are returned as stray texts, and
// `problems` gets a line for each.
std::vector<RawText> SplitTranscript(std::string_view file,
                                     std::vector<std::string>* problems);

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

// What the texts of one receipt say, checked as a whole.
struct ReceiptReport {
  std::vector<DecodedText> texts;
  // "text 4 (item 2): ..." and the like, in order of the texts.
  std::vector<std::string> problems;
  bool whole = false;  // version, begin, items, end present in that order

  bool ok() const { return whole && problems.empty(); }
};

// Checks: checksums; frames that are not begin, item or end; item numbers
// 1, 2, 3, ... in order; line values equal to the line value of quantity
// and unit price as printed; an end total equal to the sum of the printed
// line values, added as a 32-bit total; texts after the end frame, a
// missing end frame; bytes outside any frame other than the version text.
ReceiptReport CheckReceipt(const std::vector<RawText>& texts);

// A printed amount ("12.50", "-2.50"): its value, or nothing when the text
// is not an amount of that form.
std::optional<double> ParseAmount(std::string_view text);

}  // namespace fiskal

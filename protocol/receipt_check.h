// Checking the texts of one receipt as a whole: order, numbering, line
// values and the total.
#pragma once

#include <string>
#include <vector>

#include "protocol/frame_decoder.h"
#include "protocol/raw_text.h"

namespace fiskal {

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

}  // namespace fiskal

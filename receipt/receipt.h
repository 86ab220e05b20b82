// A receipt made from the input file: every text the run will send, built
// and checked before the first one goes out. What a whole receipt is
// refused for (before anything is sent) is decided here only; an item
// line's own faults are Analiza's.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"

namespace fiskal {

inline constexpr int kMaxItems = 255;
// Why the item past kMaxItems is refused.
std::string TooManyItems();

// The run's state while it reads the input.
struct ReceiptState {
  std::uint8_t nPort = 0;  // 0: log-only
  std::string cStopka;     // footer
  std::uint8_t nLp = 0;    // number of the last item frame built
  float nWart = 0;         // receipt total
  // Item values, carried over between lines.
  std::string cNazwa;
  std::string cVAT;
  float nSzt = 0;
  float nCena = 0;
};

// One text to send, with what the run says about it in messages.
struct Text {
  std::string bytes;
  std::string label;         // "version text", "begin frame", "item 3", ...
  bool pause_after = false;  // the begin frame and every item frame
};

// The values an item frame was built from, as the run used them.
struct ItemValues {
  std::string cNazwa;  // shortened, as printed
  std::string cVAT;
  float nSzt = 0;
  float nCena = 0;
};

struct Receipt {
  std::uint8_t nPort = 0;
  std::vector<Text> texts;  // version text, begin frame, items, end frame
  std::vector<ItemValues> items;  // one per item frame
  float nWart = 0;                // the total in the end frame
};

// Builds the receipt from the contents of the input file. Refuses, with the
// line number and the reason (prefixed "<file_name>:<line>: "), input that
// must not reach the printer: see Analiza, a 256th item, a line product or
// receipt total beyond the range of amounts, a TAB or an ESC byte in
// the footer.
// Empty item lines are skipped. On refusal, *refused_line (when given) is
// the line's number, or 0 when the refusal is of the whole file.
Status PrepareReceipt(std::string_view contents, std::string_view file_name,
                      Receipt* receipt, std::size_t* refused_line = nullptr);

}  // namespace fiskal

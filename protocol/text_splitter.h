// Splitting raw bytes off the line into texts: frames, the version text,
// and bytes outside any frame.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "protocol/raw_text.h"

namespace fiskal {

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

}  // namespace fiskal

// A text as it crossed the line or stands in a transcript: its bytes and
// where they began.
#pragma once

#include <cstddef>
#include <string>

namespace fiskal {

struct RawText {
  std::string bytes;
  std::size_t offset = 0;  // of its first byte in the stream or file
};

}  // namespace fiskal

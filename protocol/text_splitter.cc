#include "protocol/text_splitter.h"

#include <algorithm>

#include "protocol/frames.h"

namespace fiskal {

std::vector<RawText> TextSplitter::Feed(std::string_view bytes) {
  held_.append(bytes);
  return Split(false);
}

std::vector<RawText> TextSplitter::Finish() { return Split(true); }

std::vector<RawText> TextSplitter::Split(bool at_end) {
  std::vector<RawText> texts;
  std::size_t i = 0;
  std::size_t stray_start = std::string::npos;
  auto flush_stray = [&](std::size_t end) {
    if (stray_start == std::string::npos) return;
    texts.push_back({held_.substr(stray_start, end - stray_start),
                     held_offset_ + stray_start});
    stray_start = std::string::npos;
  };
  auto emit = [&](std::size_t start, std::size_t end) {
    flush_stray(start);
    texts.push_back({held_.substr(start, end - start), held_offset_ + start});
  };

  const std::size_t size = held_.size();
  while (i < size) {
    const std::string_view rest = std::string_view(held_).substr(i);
    if (rest.substr(0, kFrameStart.size()) == kFrameStart) {
      // A frame runs to ESC '\'; a new ESC 'P' first means it was cut short.
      std::size_t j = i + kFrameStart.size();
      bool closed = false;
      bool cut = false;
      for (; j + 1 < size; ++j) {
        if (held_[j] != kEsc) continue;
        if (held_[j + 1] == kFrameEnd[1]) {
          closed = true;
          break;
        }
        if (held_[j + 1] == kFrameStart[1]) {
          cut = true;
          break;
        }
      }
      if (closed) {
        emit(i, j + 2);
        i = j + 2;
      } else if (cut) {
        emit(i, j);
        i = j;
      } else if (at_end) {
        emit(i, size);
        i = size;
      } else {
        break;  // wait for the rest of the frame
      }
      continue;
    }
    if (!rest.empty() && rest[0] == kEsc && rest.size() == 1 && !at_end) break;
    if (!rest.empty() && rest[0] == 'v') {
      const std::size_t n = std::min(rest.size(), kVersionText.size());
      if (rest.substr(0, n) == kVersionText.substr(0, n)) {
        if (n == kVersionText.size()) {
          emit(i, i + n);
          i += n;
          continue;
        }
        if (!at_end) break;  // may still become the version text
      }
    }
    if (stray_start == std::string::npos) stray_start = i;
    ++i;
  }
  // Stray bytes are held until something that is not stray follows them,
  // so a run of them is one text however it arrived; a long run goes out
  // in pieces.
  constexpr std::size_t kMaxHeldStray = 4096;
  if (stray_start != std::string::npos && !at_end && i - stray_start < kMaxHeldStray) {
    i = stray_start;
  } else {
    flush_stray(i);
  }
  held_offset_ += i;
  held_.erase(0, i);
  return texts;
}

}  // namespace fiskal

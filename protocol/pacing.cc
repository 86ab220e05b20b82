#include "protocol/pacing.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace fiskal {

std::vector<Pause> Pauses(const std::vector<TimedText>& texts, double allowance) {
  std::vector<Pause> pauses;
  for (std::size_t i = 0; i + 1 < texts.size(); ++i) {
    const TimedText& frame = texts[i];
    if (frame.kind != TextKind::kBegin && frame.kind != TextKind::kItem) continue;
    Pause pause;
    pause.after = i + 1;
    pause.seconds = texts[i + 1].first - frame.last;
    pause.longest = texts[i + 1].first - frame.last_earliest;
    pause.too_soon = pause.longest < kFramePause - allowance;
    pauses.push_back(pause);
  }
  return pauses;
}

std::string PauseProblem(const Pause& pause) {
  char what[160];
  std::snprintf(what, sizeof what,
                "text %zu: came %.3f s after the frame before it; the printer needs %.1f s",
                pause.after + 1, pause.longest, kFramePause);
  return what;
}

void ArrivalLog::Read(std::size_t count, double time) {
  if (count == 0) return;
  chunks_.push_back({received_, time, quiet_});
  received_ += count;
}

const ArrivalLog::Chunk& ArrivalLog::At(std::size_t offset) const {
  // The last chunk that starts at or before the offset.
  const auto after = std::upper_bound(
      chunks_.begin(), chunks_.end(), offset,
      [](std::size_t o, const Chunk& c) { return o < c.offset; });
  return after == chunks_.begin() ? *after : *std::prev(after);
}

TimedText ArrivalLog::Time(const RawText& text, TextKind kind) const {
  TimedText timed;
  timed.kind = kind;
  if (chunks_.empty()) return timed;
  const Chunk& first = At(text.offset);
  const Chunk& last = At(text.offset + (text.bytes.empty() ? 0 : text.bytes.size() - 1));
  timed.first = first.read;
  timed.last = last.read;
  timed.last_earliest = last.quiet;
  return timed;
}

}  // namespace fiskal

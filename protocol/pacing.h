// The pacing of a receipt on the line: after the begin frame and after
// every item frame the printer needs 0.5 s before the next text comes.
// That pause is written here only (kFramePause): the run waits it
// (receipt/run.cc) and the listener checks it. Checked over the times the
// texts arrived; whoever reads the line takes the times (ArrivalLog keeps
// them), this only compares them. No I/O, no clock.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "protocol/frame_decoder.h"

namespace fiskal {

// The least time a text must follow a begin or item frame by: what the
// sender waits, and what the listener checks.
inline constexpr double kFramePause = 0.5;

// One text of a receipt and when it arrived, in seconds on one clock.
struct TimedText {
  TextKind kind = TextKind::kStray;
  double first = 0;  // its first byte had come by then (the read returned)
  double last = 0;   // its last byte had come by then
  // Its last byte came after this: the reader had found the line quiet
  // then. Equal to `last` when the reader has exact times.
  double last_earliest = 0;
};

// The quiet time after one begin or item frame.
struct Pause {
  std::size_t after = 0;  // number of the frame, from 1; text after + 1 ended it
  double seconds = 0;     // the frame's `last` to the next text's `first`
  double longest = 0;     // the frame's `last_earliest` to the next text's
                          // `first`: the longest the pause can have been
  bool too_soon = false;  // longest < kFramePause - allowance
};

// The pause after every begin or item frame that has a text after it, in
// order. A pause is too soon by its longest reading, so a reader that took
// a frame's last byte late cannot make a correct pause look short;
// `allowance` covers what the reader's times cannot: how late the line
// itself may hand over a frame.
std::vector<Pause> Pauses(const std::vector<TimedText>& texts, double allowance);

// "text 4: came 0.312 s after the frame before it; the printer needs 0.5 s"
std::string PauseProblem(const Pause& pause);

// When the bytes of a stream arrived, as a reader of the line records it.
// A read is timed when it returns, which on a busy machine may be long
// after its bytes came; what bounds them from below is the last time the
// reader found the line quiet, since every byte read later came after it.
// So a reader that looks at the line often (polls with a short timeout)
// gets tight bounds on both sides. Before the first Quiet() bytes may have
// come at any time after 0.
class ArrivalLog {
 public:
  // No byte read from now on was written to the line before `time`. A poll
  // that waited T seconds from a time t taken before it and saw nothing
  // gives t + T (on a terminal a poll also pushes on the bytes the system
  // still holds for the line, so none can be hiding there).
  void Quiet(double time) { quiet_ = time; }
  // A read returned `count` bytes, the next of the stream; `time` was
  // taken after it returned.
  void Read(std::size_t count, double time);
  // The times of a text whose bytes the reads brought. Offsets are those
  // of the stream, counted from the first byte read.
  TimedText Time(const RawText& text, TextKind kind) const;

 private:
  struct Chunk {
    std::size_t offset;  // of its first byte
    double read;         // when the read returned
    double quiet;        // the line was quiet after this, before the chunk came
  };
  const Chunk& At(std::size_t offset) const;

  std::vector<Chunk> chunks_;
  std::size_t received_ = 0;
  double quiet_ = 0;
};

}  // namespace fiskal

// fiskal-printer listen: a virtual printer on a pseudo-terminal.
#pragma once

#include <string>

#include "line/clock.h"

namespace fiskal {

struct ListenOptions {
  std::string link;     // make this path a symbolic link to the device
  std::string capture;  // write every byte received to this file
  bool once = false;    // exit after the first end frame
  bool json = false;    // each receipt as a line of JSON, nothing else on stdout
};

// How much shorter than 0.5 s a pause may come out before it counts as too
// soon: room for a sender whose clock runs a little differently (a Windows
// program under Wine times its pauses on a counter of its own). The
// listener's own timing needs none: it measures a pause from the last time
// it found the line quiet before the frame's end, which a late read cannot
// move (see ArrivalLog).
inline constexpr double kPaceMargin = 0.005;
// How often the listener looks at a quiet line, so that it knows within
// about this much when a frame came.
inline constexpr int kLookEveryMs = 10;
// With `once`, how long the listener keeps the line after the end frame for
// the sender to close its port, so that the sender never finds the line
// gone while it waits for its last bytes to leave.
inline constexpr int kSenderCloseMs = 10'000;

// Runs until a stop signal (or, with `once`, the first end frame); arrival
// times are read from `clock`.
int RunListen(const ListenOptions& options, Clock& clock = MonotonicClock());

}  // namespace fiskal

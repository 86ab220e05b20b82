// fiskal-printer listen: a virtual printer on a pseudo-terminal.
#pragma once

#include <string>

namespace fiskal {

struct ListenOptions {
  std::string link;     // make this path a symbolic link to the device
  std::string capture;  // write every byte received to this file
  bool once = false;    // exit after the first end frame
};

// The least time a text must follow a begin or item frame by.
inline constexpr double kFramePause = 0.5;
// What the listener allows for its own timing of arrivals: its reads may be
// scheduled late by this much without the sender being at fault.
inline constexpr double kPaceMargin = 0.005;

// With `once`, how long the listener keeps the line after the end frame for
// the sender to close its port, so that the sender never finds the line
// gone while it waits for its last bytes to leave.
inline constexpr int kSenderCloseMs = 10'000;

int RunListen(const ListenOptions& options);

}  // namespace fiskal

// A serial port as the printer line uses it.
#pragma once

#include <string_view>

#include "base/status.h"

namespace fiskal {

class Port {
 public:
  virtual ~Port() = default;

  // Acquires the port, passes every byte of the text on to the line, waits
  // until it has left, and releases the port again. The port is never held
  // between two texts.
  virtual Status Send(std::string_view text) = 0;
};

}  // namespace fiskal

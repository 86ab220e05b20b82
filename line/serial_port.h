// The real serial port of the printer line.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "line/clock.h"
#include "line/port.h"

namespace fiskal {

// The line settings every text is sent with: 9600 baud, 8 data bits, no
// parity, 1 stop bit, no flow control.
inline constexpr const char* kLineSettings = "9600,n,8,1";
inline constexpr int kBaud = 9600;
inline constexpr int kBitsPerByte = 10;  // start, 8 data, stop

// A line that cannot take a text within this long plus the text's transmit
// time has failed.
inline constexpr double kLineTimeoutSeconds = 2.0;

// Seconds the line needs to transmit n bytes at 9600 baud.
inline double TransmitSeconds(std::size_t bytes) {
  return static_cast<double>(bytes) * kBitsPerByte / kBaud;
}

// The failure of a line that did not take a text in time: "line stalled:
// <what> within <limit> s (...)".
Status LineStalled(const std::string& what, double limit_seconds);

// The environment variable naming the device of port n: FISKAL_COM<n>.
std::string PortVariable(std::uint8_t nPort);

// The system's own device for port n (1..9), one per platform.
std::string SystemPortDevice(std::uint8_t nPort);

// The device of port n (1..9): the value of FISKAL_COM<n> when it is set and
// not empty (env_value), else the system's own.
std::string PortDevice(std::uint8_t nPort, const char* env_value);

// Why the device cannot take a text now, in the system's words ("No such
// file or directory", "in use by another program"), or empty when it can:
// it is opened, locked and checked as Send opens it for a text, and closed
// again, nothing sent. A service holds a receipt while this is not empty.
std::string WhyPortCannotOpen(const std::string& device);

// The serial port nPort on the given device. Nothing is opened until Send;
// the deadline of a text on the line is kept on `clock`.
std::unique_ptr<Port> NewSerialPort(std::uint8_t nPort, std::string device,
                                    Clock& clock = MonotonicClock());

}  // namespace fiskal

// The printer line: the one way out for every text of a receipt. A text goes
// to the serial port when a port is selected, then into the transcript.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "base/status.h"
#include "line/clock.h"
#include "line/port.h"
#include "line/transcript.h"

namespace fiskal {

class PortFactory {
 public:
  virtual ~PortFactory() = default;
  // The port with number nPort (1..9), configured but not opened, and held
  // for this run alone until it is destroyed. Fails when another run holds
  // the port.
  virtual Status NewPort(std::uint8_t nPort, std::unique_ptr<Port>* port) = 0;
};

class PrinterLine {
 public:
  // Pauses are cut short when `stop` is raised.
  PrinterLine(PortFactory& ports, Transcript& transcript, Clock& clock, StopFlag& stop)
      : ports_(ports), transcript_(transcript), clock_(clock), stop_(stop) {}

  // Selects port nPort for the run; 0 selects log-only mode, in which no
  // serial port is touched.
  Status PelkInit(std::uint8_t nPort);

  // Sends the text to the port when nPort is not 0, then records it. A text
  // that could not be sent is not recorded, so the transcript lists exactly
  // the texts handed to the port.
  Status WriteComm(std::uint8_t nPort, std::string_view cTxt);

  // Whether the text of the last WriteComm reached the port (or, in
  // log-only mode, would have): true also when only its record failed.
  bool last_text_sent() const { return last_text_sent_; }

  // Returns after nSec seconds, or fails at once when the run is asked to
  // stop.
  Status Pause(float nSec);

 private:
  PortFactory& ports_;
  Transcript& transcript_;
  Clock& clock_;
  StopFlag& stop_;
  std::unique_ptr<Port> port_;
  bool last_text_sent_ = false;
};

}  // namespace fiskal

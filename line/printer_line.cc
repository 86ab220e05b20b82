#include "line/printer_line.h"

#include <string>

namespace fiskal {

Status PrinterLine::PelkInit(std::uint8_t nPort) {
  port_.reset();
  if (nPort == 0) return Status::Ok();
  return ports_.NewPort(nPort, &port_);
}

Status PrinterLine::WriteComm(std::uint8_t nPort, std::string_view cTxt) {
  last_text_sent_ = false;
  const bool to_port = nPort != 0;
  if (to_port) {
    if (port_ == nullptr) {
      return Status::Error("port " + std::to_string(nPort) + " was not set up");
    }
    if (Status s = port_->Send(cTxt); !s.ok()) return s;
  }
  last_text_sent_ = to_port;
  if (Status s = transcript_.Record(cTxt); !s.ok()) {
    return s.Context(to_port ? "sent to the printer but not recorded"
                             : "not recorded");
  }
  return Status::Ok();
}

Status PrinterLine::Pause(float nSec) { return clock_.Sleep(nSec, stop_); }

}  // namespace fiskal

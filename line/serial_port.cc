#include "line/serial_port.h"

#include <cstdio>

namespace fiskal {

Status LineStalled(const std::string& what, double limit_seconds) {
  char limit[32];
  std::snprintf(limit, sizeof limit, "%.2f s", limit_seconds);
  return Status::Error("line stalled: " + what + " within " + limit +
                       " (is the printer on and not holding the line?)");
}

std::string PortVariable(std::uint8_t nPort) {
  return "FISKAL_COM" + std::to_string(nPort);
}

std::string PortDevice(std::uint8_t nPort, const char* env_value) {
  if (env_value != nullptr && env_value[0] != '\0') return env_value;
  return SystemPortDevice(nPort);
}

}  // namespace fiskal

#include "line/serial_port.h"

namespace fiskal {

std::string PortVariable(std::uint8_t nPort) {
  return "FISKAL_COM" + std::to_string(nPort);
}

}  // namespace fiskal

#include "line/run_lock.h"

namespace fiskal {

std::string PortLockFileName(std::string_view real_name) {
  std::string name = "fiskal-port";
  for (char c : real_name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       (c >= '0' && c <= '9') || c == '.' || c == '-';
    name += plain ? c : '_';
  }
  return name + ".lock";
}

}  // namespace fiskal

#include "base/time_text.h"

namespace fiskal {

std::tm LocalTime(std::time_t t) {
  std::tm local{};
  localtime_s(&local, &t);
  return local;
}

}  // namespace fiskal

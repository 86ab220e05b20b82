#include "base/time_text.h"

namespace fiskal {

std::tm LocalTime(std::time_t t) {
  std::tm local{};
  ::localtime_r(&t, &local);
  return local;
}

}  // namespace fiskal

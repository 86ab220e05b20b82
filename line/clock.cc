#include "line/clock.h"

namespace fiskal {

StopFlag& NeverStop() {
  class Never : public StopFlag {
   public:
    int StopSignal() override { return 0; }
  };
  static Never never;
  return never;
}

}  // namespace fiskal

#include "receipt/outcome.h"

namespace fiskal {

int Report(const Outcome& outcome, std::FILE* err) {
  if (!outcome.message.empty()) {
    std::string line(kProgramName);
    line += ": ";
    line += outcome.message;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), err);
    std::fflush(err);
  }
  return static_cast<int>(outcome.status);
}

}  // namespace fiskal

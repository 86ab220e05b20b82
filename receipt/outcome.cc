#include "receipt/outcome.h"

#include <utility>

namespace fiskal {

Outcome Succeeded() { return {ExitStatus::kOk, {}}; }

Outcome Failed(std::size_t texts_tried, std::string message) {
  return {texts_tried == 0 ? ExitStatus::kNothingSent : ExitStatus::kSendFailed,
          std::move(message)};
}

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

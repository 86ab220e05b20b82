// Windows error texts for Status.

#include <windows.h>

#include "base/status.h"

namespace fiskal {

std::string WindowsErrorText(unsigned long err) {
  char buffer[512] = {};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, err, MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT),
                           buffer, sizeof buffer, nullptr);
  if (n == 0) {
    n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       err, 0, buffer, sizeof buffer, nullptr);
  }
  std::string text(buffer, n);
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' ||
                           text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  if (text.empty()) text = "unknown error";
  return text + " (error " + std::to_string(err) + ")";
}

Status Status::FromWindowsError(std::string_view what, unsigned long err,
                                std::string_view hint) {
  std::string message(what);
  message += ": " + WindowsErrorText(err);
  if (!hint.empty()) {
    message += " (";
    message += hint;
    message += ")";
  }
  return Status::Error(std::move(message));
}

}  // namespace fiskal

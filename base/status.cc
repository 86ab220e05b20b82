#include "base/status.h"

#include <cstring>

namespace fiskal {

Status Status::Error(const char* message) { return Status(std::string(message)); }

Status Status::FromErrno(std::string_view what, int err, std::string_view hint) {
  std::string message(what);
  message += ": ";
  message += ErrnoText(err);
  if (!hint.empty()) {
    message += " (";
    message += hint;
    message += ")";
  }
  return Status(std::move(message));
}

const std::string& Status::message() const {
  static const std::string kEmpty;
  return message_ ? *message_ : kEmpty;
}

Status Status::Context(std::string_view where) const {
  if (ok()) return *this;
  std::string message(where);
  message += ": ";
  message += *message_;
  return Status(std::move(message));
}

std::string ErrnoText(int err) {
  // strerror() is not thread-safe and its text follows LC_MESSAGES; the
  // program never sets a locale, so this gives the C locale's text.
  const char* text = std::strerror(err);
  return text ? std::string(text) : "error " + std::to_string(err);
}

}  // namespace fiskal

// The one error convention of the program: a Status is either ok or carries
// a message that names what failed, where, and why, with a hint where one
// helps. Messages are built from the innermost cause outwards with Context().
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace fiskal {

class Status {
 public:
  Status() = default;  // ok

  static Status Ok() { return Status(); }
  static Status Error(std::string message) { return Status(std::move(message)); }
  // A message written out whole: copied here, not where it is written, so
  // that the text stays one string in the program (a copy built in place
  // would be cut into pieces that run into other messages' pieces).
  static Status Error(const char* message);
  // "<what>: <system error text>", followed by "(<hint>)" when a hint is given.
  static Status FromErrno(std::string_view what, int err,
                          std::string_view hint = {});
#ifdef _WIN32
  // "<what>: <the system's text> (error <n>)", then "(<hint>)" when given.
  static Status FromWindowsError(std::string_view what, unsigned long err,
                                 std::string_view hint = {});
#endif

  bool ok() const { return !message_.has_value(); }

  // The message; empty for an ok status.
  const std::string& message() const;

  // Prefixes the message with "<where>: ". Ok stays ok.
  Status Context(std::string_view where) const;

 private:
  explicit Status(std::string message) : message_(std::move(message)) {}
  std::optional<std::string> message_;
};

// The system's text for an errno value, independent of the locale.
std::string ErrnoText(int err);
#ifdef _WIN32
// The system's text for a Windows error code: "<text> (error <n>)".
std::string WindowsErrorText(unsigned long err);
#endif

}  // namespace fiskal

// HTTP from tests: requests written out byte for byte on a socket of the
// test's own (so a test can send anything, well-formed or hostile), and
// answers read back with the HTTP library's parser.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fiskal::testing {

struct HttpAnswer {
  int status = 0;  // 0: no answer (see error)
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::string error;

  explicit operator bool() const { return status != 0; }
  // The value of a header (names ignore case), "" when absent.
  std::string Header(std::string_view name) const;
  bool HasHeader(std::string_view name) const;
};

using Headers = std::vector<std::pair<std::string, std::string>>;

// One connection to 127.0.0.1:port.
class RawConnection {
 public:
  explicit RawConnection(int port);
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  bool connected() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // Writes all of `bytes`; false when the connection took not all of them.
  bool Send(std::string_view bytes);
  // Reads one answer, waiting at most `seconds` for it.
  HttpAnswer Read(double seconds = 60);
  // Whether the server ends the connection (end of stream, or a reset)
  // within `seconds`, sending nothing more.
  bool Closed(double seconds = 30);
  void Close();

 private:
  int fd_ = -1;
  std::string pending_;  // bytes read past the last answer
};

// Requests, each on a connection of its own, with the Host a client of
// 127.0.0.1:port sends.
class HttpClient {
 public:
  explicit HttpClient(int port, double seconds = 360) : port_(port), seconds_(seconds) {}
  HttpAnswer Get(const std::string& path, const Headers& headers = {}) const;
  HttpAnswer Post(const std::string& path, const std::string& body,
                  const std::string& content_type, const Headers& headers = {}) const;
  HttpAnswer Options(const std::string& path, const Headers& headers = {}) const;
  // Any request; a "Host" among `headers` replaces the usual one, and
  // Content-Length is added when `body` is not empty or the method is POST.
  HttpAnswer Send(const std::string& method, const std::string& path, const Headers& headers,
                  const std::string& body) const;

 private:
  int port_;
  double seconds_;
};

// The request's bytes: the request line, the headers as given, then the
// body.
std::string RequestBytes(const std::string& method, const std::string& target,
                         const Headers& headers, const std::string& body = "");

}  // namespace fiskal::testing

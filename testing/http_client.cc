#include "testing/http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/beast/http.hpp>
#include <cerrno>

#include "testing/now.h"

namespace fiskal::testing {

namespace {

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// Waits for the socket to be readable until `deadline`; false when the
// time ran out.
bool WaitReadable(int fd, double deadline) {
  for (;;) {
    const double left = deadline - MonotonicNow();
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    const int n = ::poll(&p, 1, static_cast<int>(left * 1000) + 1);
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return true;  // the read tells
  }
}

}  // namespace

std::string HttpAnswer::Header(std::string_view name) const {
  for (const auto& [n, v] : headers) {
    if (SameName(n, name)) return v;
  }
  return {};
}

bool HttpAnswer::HasHeader(std::string_view name) const {
  for (const auto& [n, v] : headers) {
    if (SameName(n, name)) return true;
  }
  return false;
}

RawConnection::RawConnection(int port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd_);
    fd_ = -1;
    return;
  }
  const int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

RawConnection::~RawConnection() { Close(); }

void RawConnection::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool RawConnection::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

HttpAnswer RawConnection::Read(double seconds) {
  namespace http = boost::beast::http;
  HttpAnswer answer;
  http::response_parser<http::string_body> parser;
  parser.body_limit(64 << 20);
  parser.eager(true);
  const double deadline = MonotonicNow() + seconds;
  std::string buffer = std::move(pending_);
  pending_.clear();
  for (;;) {
    if (!buffer.empty()) {
      boost::beast::error_code ec;
      const std::size_t used = parser.put(boost::asio::buffer(buffer), ec);
      buffer.erase(0, used);
      if (ec && ec != http::error::need_more) {
        answer.error = "unreadable answer: " + ec.message();
        return answer;
      }
      if (parser.is_done()) break;
      if (!ec && used > 0) continue;
    }
    if (!WaitReadable(fd_, deadline)) {
      answer.error = "no answer in time";
      return answer;
    }
    char chunk[65536];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // The end of the stream ends a body of no stated length.
      boost::beast::error_code ec;
      if (parser.got_some()) parser.put_eof(ec);
      if (parser.got_some() && !ec && parser.is_done()) break;
      answer.error = n == 0 ? "the connection ended before an answer" : "the connection failed";
      return answer;
    }
    buffer.append(chunk, static_cast<std::size_t>(n));
  }
  pending_ = std::move(buffer);
  const auto& message = parser.get();
  answer.status = static_cast<int>(message.result_int());
  for (const auto& field : message) {
    answer.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
  }
  answer.body = message.body();
  return answer;
}

bool RawConnection::Closed(double seconds) {
  if (!pending_.empty()) return false;
  const double deadline = MonotonicNow() + seconds;
  for (;;) {
    if (!WaitReadable(fd_, deadline)) return false;
    char chunk[4096];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
    if (n > 0) {
      pending_.append(chunk, static_cast<std::size_t>(n));
      return false;
    }
    return true;
  }
}

std::string RequestBytes(const std::string& method, const std::string& target,
                         const Headers& headers, const std::string& body) {
  std::string bytes = method + " " + target + " HTTP/1.1\r\n";
  for (const auto& [name, value] : headers) {
    bytes += name;
    bytes += ": ";
    bytes += value;
    bytes += "\r\n";
  }
  bytes += "\r\n";
  bytes += body;
  return bytes;
}

HttpAnswer HttpClient::Send(const std::string& method, const std::string& path,
                            const Headers& headers, const std::string& body) const {
  Headers all;
  bool host = false;
  for (const auto& h : headers) host = host || SameName(h.first, "Host");
  if (!host) all.emplace_back("Host", "127.0.0.1:" + std::to_string(port_));
  all.insert(all.end(), headers.begin(), headers.end());
  if (!body.empty() || method == "POST") all.emplace_back("Content-Length", std::to_string(body.size()));
  all.emplace_back("Connection", "close");
  RawConnection c(port_);
  HttpAnswer answer;
  if (!c.connected()) {
    answer.error = "cannot connect";
    return answer;
  }
  if (!c.Send(RequestBytes(method, path, all, body))) {
    answer.error = "cannot send";
    return answer;
  }
  return c.Read(seconds_);
}

HttpAnswer HttpClient::Get(const std::string& path, const Headers& headers) const {
  return Send("GET", path, headers, "");
}

HttpAnswer HttpClient::Post(const std::string& path, const std::string& body,
                            const std::string& content_type, const Headers& headers) const {
  Headers all = headers;
  if (!content_type.empty()) all.emplace_back("Content-Type", content_type);
  return Send("POST", path, all, body);
}

HttpAnswer HttpClient::Options(const std::string& path, const Headers& headers) const {
  return Send("OPTIONS", path, headers, "");
}

}  // namespace fiskal::testing

// The certificate reload of the HTTPS front door, written here only: the
// TLS context made from the certificate and key files, and made again when
// either file changes (looked at once a second at most, when a connection
// comes), so a renewed certificate needs no restart. A file that cannot be
// read keeps the context in use and is said once. Where FISKAL_HTTP_TLS is
// 1 only (the Linux and the Windows build).
#pragma once

#if FISKAL_HTTP_TLS

#include <boost/asio/ssl.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "base/status.h"
#include "service/http/http.h"

namespace fiskal::service::http {

class TlsContexts {
 public:
  // `log` is told of a reload and of files that cannot be loaded again.
  TlsContexts(TlsFiles files, std::function<void(const std::string&)> log);

  // The first load: its failure is the server's.
  Status Load();

  // The context for a new connection: the one in use, made again first
  // when a file changed.
  std::shared_ptr<boost::asio::ssl::context> Current();

 private:
  // Changes whenever either file's contents change.
  std::string Stamp() const;
  Status Make(std::shared_ptr<boost::asio::ssl::context>* out) const;

  TlsFiles files_;
  std::function<void(const std::string&)> log_;
  std::shared_ptr<boost::asio::ssl::context> current_;
  std::string stamp_;
  std::chrono::steady_clock::time_point checked_ = std::chrono::steady_clock::now();
};

}  // namespace fiskal::service::http

#endif  // FISKAL_HTTP_TLS

// The certificate reload of the HTTPS front door (see certificates.h).
#include "service/http/certificates.h"

#if FISKAL_HTTP_TLS

#include <fstream>
#include <sstream>
#include <utility>

namespace fiskal::service::http {

namespace asio = boost::asio;

TlsContexts::TlsContexts(TlsFiles files, std::function<void(const std::string&)> log)
    : files_(std::move(files)), log_(std::move(log)) {}

Status TlsContexts::Load() {
  stamp_ = Stamp();
  return Make(&current_);
}

std::shared_ptr<asio::ssl::context> TlsContexts::Current() {
  const auto now = std::chrono::steady_clock::now();
  if (now - checked_ < std::chrono::seconds(1)) return current_;
  checked_ = now;
  const std::string stamp = Stamp();
  if (stamp == stamp_) return current_;
  stamp_ = stamp;
  std::shared_ptr<asio::ssl::context> fresh;
  if (Status s = Make(&fresh); !s.ok()) {
    if (log_) log_(s.message() + "; the certificate loaded before stays in use");
    return current_;
  }
  current_ = std::move(fresh);
  if (log_) log_("certificate " + files_.certificate + " loaded again");
  return current_;
}

// The files' contents themselves: a time and size would miss a renewal
// written within one tick of the file system's clock (a few milliseconds
// on Linux, as under Wine) whose files are as long as the old ones, as a
// certificate of the same kind is. A file that cannot be read stamps as
// such. They are a few kilobytes, read once a second at most.
std::string TlsContexts::Stamp() const {
  std::string stamp;
  for (const std::string& path : {files_.certificate, files_.key}) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream contents;
    if (in) contents << in.rdbuf();
    const std::string text = in ? contents.str() : std::string();
    stamp += (in ? "read " : "unreadable ") + std::to_string(text.size()) + ":" + text;
  }
  return stamp;
}

Status TlsContexts::Make(std::shared_ptr<asio::ssl::context>* out) const {
  if (files_.check_key) {
    if (Status s = files_.check_key(files_.key); !s.ok()) return s;
  }
  auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_server);
  context->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                       asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                       asio::ssl::context::no_tlsv1_1 | asio::ssl::context::single_dh_use);
  boost::system::error_code ec;
  context->use_certificate_chain_file(files_.certificate, ec);
  if (ec) {
    return Status::Error("certificate " + files_.certificate + ": cannot load: " + ec.message());
  }
  context->use_private_key_file(files_.key, asio::ssl::context::pem, ec);
  if (ec) return Status::Error("key " + files_.key + ": cannot load: " + ec.message());
  if (SSL_CTX_check_private_key(context->native_handle()) != 1) {
    return Status::Error("key " + files_.key + " is not the key of the certificate " +
                         files_.certificate);
  }
  *out = std::move(context);
  return Status::Ok();
}

}  // namespace fiskal::service::http

#endif  // FISKAL_HTTP_TLS

// fiskald's HTTP front door as the API sees it: a request, an answer, a
// handler that is asked twice (once the header has come, and once the
// whole request has), and a server that runs it. Nothing here names the
// library that serves: that is server.cc's business alone.
//
// The server is strict: it answers every malformed or ambiguous request
// itself (400, 413, 414, 417, 431, 505) and closes the connection,
// and it closes the connection after any answer given before the body was
// read, so that an unread body is never taken for the next request.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/status.h"
#include "service/http/limits.h"

namespace fiskal::service::http {

struct Field {
  std::string name;  // as the client wrote it
  std::string value;
};

// Whether two field names are the same (they ignore case).
bool SameName(std::string_view a, std::string_view b);

struct Request {
  std::string method;  // "GET", "POST", ... (methods are case-sensitive)
  std::string target;  // "/v1/receipts?wait=10", as sent
  std::string path;    // "/v1/receipts"
  std::vector<std::pair<std::string, std::string>> query;  // decoded, each name once
  std::vector<Field> fields;  // the header's, in order; trailers never
  std::string body;           // empty until the whole request has come
  bool has_body = false;      // the header declares a body (a length above 0, or chunked)
  bool tls = false;           // it came over HTTPS
  std::string client;         // the address of the client's end ("127.0.0.1", "::1")

  // The value of a field, "" when it is not there (a field that may come
  // only once is refused by the server when it comes twice).
  std::string_view Header(std::string_view name) const;
  bool HasHeader(std::string_view name) const;
  // The value of a query parameter, or nothing.
  std::optional<std::string_view> Query(std::string_view name) const;
};

struct Response {
  int status = 200;
  std::string content_type;  // empty: no body type (a 204, say)
  std::vector<Field> fields;  // beside Content-Type and Content-Length
  std::string body;

  Response& Set(std::string name, std::string value) {
    fields.push_back({std::move(name), std::move(value)});
    return *this;
  }
};

// Hands the answer to a request back; call it exactly once, from any
// thread, at once or later (a long poll keeps it until it has news).
using Reply = std::function<void(Response)>;

class Handler {
 public:
  virtual ~Handler() = default;
  // The header has come and passed the server's own checks; the body has
  // not been read. An answer here is sent as it is and, when the request
  // has a body, the connection is closed. Nothing: go on, read the body.
  // Runs on the server's network thread: it must not block.
  virtual std::optional<Response> Admit(const Request& head) = 0;
  // A whole request that was admitted. Runs on one of the server's
  // handler threads, which may block briefly (the journal); a wait for
  // news must keep `reply` and return instead of blocking.
  virtual void Handle(Request request, Reply reply) = 0;
  // The server refuses a request by itself (malformed, too large, too
  // slow, too many at once) from `client` (its address): the body of its
  // answer.
  virtual Response Refusal(int status, const std::string& detail, const std::string& client) = 0;
};

struct TlsFiles {
  std::string certificate;  // PEM: the certificate, then its chain
  std::string key;          // PEM: its private key
  // Asked of the key before each load, the first and every renewal: a
  // failure refuses it (the caller's rule: fiskald refuses a key other
  // users may read).
  std::function<Status(const std::string& key)> check_key;
};

struct ServerOptions {
  std::string host;  // an address literal
  int port = 0;      // 0: any free port
  std::optional<TlsFiles> tls;
  Limits limits;
  int handler_threads = 32;
  // Lines about the server's own troubles (a certificate that cannot be
  // read again), each one message, without a program's prefix (the
  // caller's log adds it).
  std::function<void(const std::string&)> log;
};

class Server {
 public:
  virtual ~Server() = default;
  // The port bound (the system's choice when 0 was asked for).
  virtual int port() const = 0;
  // Stops taking connections, lets the answers under way go out (for at
  // most a few seconds), closes every connection and returns once no
  // handler runs any more.
  virtual void Stop() = 0;
};

// Binds and starts serving on threads of its own. Fails with what and
// where (the address, the certificate files) and why.
Status StartServer(const ServerOptions& options, Handler& handler, std::unique_ptr<Server>* server);

}  // namespace fiskal::service::http

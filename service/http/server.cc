// The HTTP server of fiskald, on Boost.Beast and Boost.Asio.
//
// One network thread waits on every connection at once: a connection that
// sends nothing, a slow client, or a long poll holds no thread and costs
// no CPU, only its socket, a timer and its buffer. The handler's work runs
// on a few handler threads. Every bound comes from limits.h; the checks of
// a header that Beast leaves to its user come from checks.cc.
//
// The rule that keeps requests apart: an answer given before a request's
// body was read closes the connection (after letting the client read the
// answer), so an unread body is never parsed as the next request.
//
// HTTPS (OpenSSL, through Asio) where FISKAL_HTTP_TLS is 1 (the Linux and
// the Windows build), its certificate loaded (and loaded again) by
// certificates.cc; a build with 0 serves plain HTTP only.

#include <boost/asio.hpp>
#if FISKAL_HTTP_TLS
#include <boost/asio/ssl.hpp>
#endif
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "base/reason_phrase.h"
#include "service/http/certificates.h"
#include "service/http/checks.h"
#include "service/http/http.h"

namespace fiskal::service::http {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
// After an answer that closes, what the client still sends is read and
// dropped for a little while, so that its unread bytes do not make the
// system reset the connection before the client has read the answer.
constexpr double kLingerSeconds = 2;
constexpr std::size_t kLingerBytes = std::size_t{256} * 1024;
// Once stopping, answers under way get this long to go out.
constexpr double kStopGraceSeconds = 5;
// After the system refused a connection for want of descriptors.
constexpr double kAcceptRetrySeconds = 0.1;

// An error of the request's own bytes (not of the connection).
bool IsMalformed(const boost::system::error_code& ec) {
  return ec.category() == bhttp::make_error_code(bhttp::error::bad_target).category() &&
         ec != bhttp::error::end_of_stream && ec != bhttp::error::partial_message;
}

Clock::duration Seconds(double s) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

std::string Authority(const std::string& host, int port) {
  return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
         std::to_string(port);
}

// What the sessions share with the server, and what outlives it for as
// long as a reply is held somewhere: whether the network thread still
// takes work, and the sessions open.
class SessionBase {
 public:
  virtual ~SessionBase() = default;
  // Stopping: an idle connection closes now, a busy one after its answer.
  virtual void Drain() = 0;
  virtual void CloseNow() = 0;
};

struct Shared {
  std::mutex mu;
  std::condition_variable ended;  // a session ended
  bool open = true;               // replies may still be posted to the network thread
  std::map<SessionBase*, std::weak_ptr<SessionBase>> sessions;
};

#if FISKAL_HTTP_TLS
using TlsContext = asio::ssl::context;
#else
struct TlsContext {};  // never made: HTTPS is refused when listening
#endif

// Bytes of bodies being read at once, in all.
class BodyBudget {
 public:
  explicit BodyBudget(std::size_t limit) : limit_(limit) {}
  bool Take(std::size_t bytes) {
    std::size_t used = used_.load();
    do {
      if (used + bytes > limit_) return false;
    } while (!used_.compare_exchange_weak(used, used + bytes));
    return true;
  }
  void Give(std::size_t bytes) { used_.fetch_sub(bytes); }

 private:
  const std::size_t limit_;
  std::atomic<std::size_t> used_{0};
};

struct Context {
  Limits limits;
  Handler& handler;
  std::shared_ptr<Shared> shared;
  asio::thread_pool& pool;
  BodyBudget& budget;
  const std::atomic<bool>& stopping;
};

// One connection: reads a request, has it answered, and again while the
// connection is kept.
template <class Stream>
class Session : public SessionBase, public std::enable_shared_from_this<Session<Stream>> {
 public:
  // `tls`: the TLS context of an HTTPS connection, kept for its life.
  Session(const Context& c, tcp::socket socket, std::shared_ptr<TlsContext> tls)
      : c_(c),
        tls_context_(std::move(tls)),
        stream_(MakeStream(std::move(socket), tls_context_.get())),
        timer_(stream_.get_executor()),
        buffer_(c.limits.header_bytes * 2) {
    beast::error_code ec;
    const tcp::endpoint peer = beast::get_lowest_layer(stream_).remote_endpoint(ec);
    if (!ec) {
      const asio::ip::address address = peer.address();
      client_ = address.is_v6() && address.to_v6().is_v4_mapped()
                    ? asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string()
                    : address.to_string();
    }
  }

  ~Session() override {
    GiveBudget();
    std::lock_guard<std::mutex> lock(c_.shared->mu);
    c_.shared->sessions.erase(this);
    c_.shared->ended.notify_all();
  }

  void Start() {
    {
      std::lock_guard<std::mutex> lock(c_.shared->mu);
      c_.shared->sessions[this] = this->weak_from_this();
    }
#if FISKAL_HTTP_TLS
    if constexpr (kTls) {
      Deadline(c_.limits.request_seconds);
      stream_.async_handshake(asio::ssl::stream_base::server,
                              [self = this->shared_from_this()](beast::error_code ec) {
                                if (ec || self->closed_) return self->CloseNow();
                                self->ReadRequest();
                              });
      return;
    }
#endif
    ReadRequest();
  }

  void Drain() override {
    draining_ = true;
    if (!busy_) CloseNow();
  }

  void CloseNow() override {
    if (closed_) return;
    closed_ = true;
    beast::error_code ignored;
    beast::get_lowest_layer(stream_).close(ignored);
    timer_.cancel();
    awaiting_ = false;
    self_.reset();
  }

 private:
  static constexpr bool kTls = !std::is_same_v<Stream, tcp::socket>;

  static Stream MakeStream(tcp::socket socket, TlsContext* tls) {
    if constexpr (kTls) {
      return Stream(std::move(socket), *tls);
    } else {
      return socket;
    }
  }

  // The one timer of the connection: at `seconds` from now, whatever is
  // under way is cancelled and the connection ends (with 408 when a
  // request had begun).
  void Deadline(double seconds) {
    const std::uint64_t generation = ++deadline_generation_;
    timer_.expires_after(Seconds(seconds));
    timer_.async_wait([self = this->shared_from_this(), generation](beast::error_code ec) {
      if (ec || generation != self->deadline_generation_ || self->closed_) return;
      self->timed_out_ = true;
      beast::error_code ignored;
      beast::get_lowest_layer(self->stream_).cancel(ignored);
    });
  }
  void NoDeadline() {
    ++deadline_generation_;
    timer_.cancel();
  }

  void ReadRequest() {
    busy_ = false;
    head_only_ = false;
    if (draining_ || c_.stopping.load()) return CloseNow();
    parser_.emplace();
    header_seen_ = 0;
    // A bound of the parser's own beside the one ReadHeader keeps.
    parser_->header_limit(static_cast<std::uint32_t>(c_.limits.header_bytes + 1));
    parser_->body_limit(c_.limits.body_bytes);
    if (buffer_.size() > 0) {  // the next request came with the last one
      busy_ = true;
      Deadline(c_.limits.request_seconds);
      return ReadHeader();
    }
    Deadline(first_ ? c_.limits.first_request_seconds : c_.limits.keep_alive_seconds);
    stream_.async_read_some(
        buffer_.prepare(4096),
        [self = this->shared_from_this()](beast::error_code ec, std::size_t n) {
          self->buffer_.commit(n);
          if (ec || self->closed_) return self->CloseNow();
          self->busy_ = true;
          self->Deadline(self->c_.limits.request_seconds);
          self->ReadHeader();
        });
  }

  // The header, fed to the parser as it comes. Bytes are counted here
  // from the request's first: the parser bounds only what it holds at
  // once, and takes each whole line it has.
  void ReadHeader() {
    while (buffer_.size() > 0 && !parser_->is_header_done()) {
      beast::error_code ec;
      const std::size_t used = parser_->put(buffer_.data(), ec);
      buffer_.consume(used);
      header_seen_ += used;
      if (ec == bhttp::error::need_more) break;
      if (ec) return OnHeader(ec);
      if (used == 0) break;
    }
    if (parser_->is_header_done()) return OnHeader({});
    if (header_seen_ + buffer_.size() > c_.limits.header_bytes) {
      return OnHeader(bhttp::error::header_limit);
    }
    const std::size_t room = c_.limits.header_bytes + 1 - header_seen_ - buffer_.size();
    stream_.async_read_some(buffer_.prepare(std::min<std::size_t>(room, 4096)),
                            [self = this->shared_from_this()](beast::error_code ec, std::size_t n) {
                              self->buffer_.commit(n);
                              if (self->closed_) return;
                              if (ec) {
                                if (ec == asio::error::eof) ec = bhttp::error::partial_message;
                                return self->OnHeader(ec);
                              }
                              self->ReadHeader();
                            });
  }

  // Whether what made the header too large is its target (414): the
  // request line is not read whole yet (the parser keeps a line until it is
  // whole), or its target is over its own bound.
  bool TargetTooLong() const {
    const std::size_t target = parser_->get().target().size();
    return target == 0 || target > c_.limits.target_bytes;
  }

  // What a request line that fails to parse gets: 505 for a version other
  // than HTTP/1.x, else 400.
  bool OtherVersion() const {
    const auto data = buffer_.cdata();
    const std::string_view bytes(static_cast<const char*>(data.data()), data.size());
    const std::size_t end = bytes.find("\r\n");
    if (end == std::string_view::npos) return false;
    const std::string_view line = bytes.substr(0, end);
    const std::size_t space = line.rfind(' ');
    if (line.find('\n') != std::string_view::npos || space == std::string_view::npos) return false;
    const std::string_view version = line.substr(space + 1);
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    return version.size() == 8 && version.substr(0, 5) == "HTTP/" && digit(version[5]) &&
           version[6] == '.' && digit(version[7]) && line.find(" * ") == std::string_view::npos;
  }

  void OnHeader(beast::error_code ec) {
    if (closed_) return;
    if (ec) {
      if (timed_out_) return TimedOut();
      if (ec == bhttp::error::body_limit) {  // a declared length over it
        return Refuse(413, "the body holds at most " + std::to_string(c_.limits.body_bytes) +
                               " bytes");
      }
      if (ec == bhttp::error::header_limit || ec == bhttp::error::buffer_overflow) {
        return TargetTooLong()
                   ? Refuse(414, "the request target is longer than " +
                                     std::to_string(c_.limits.target_bytes) + " bytes")
                   : Refuse(431, "the header holds more than " +
                                     std::to_string(c_.limits.header_bytes) + " bytes");
      }
      if (ec == bhttp::error::bad_version && OtherVersion()) {
        return Refuse(505, "fiskald speaks HTTP/1.1 (and HTTP/1.0)");
      }
      if (IsMalformed(ec)) return Refuse(400, "the request is malformed: " + ec.message());
      return CloseNow();  // the client went away
    }
    const auto& message = parser_->get();
    head_ = Request{};
    head_.method = std::string(message.method_string());
    head_.target = std::string(message.target());
    head_.tls = kTls;
    head_.client = client_;
    for (const auto& field : message) {
      head_.fields.push_back({std::string(field.name_string()), std::string(field.value())});
    }
    keep_alive_ = message.keep_alive();
    head_only_ = head_.method == "HEAD";
    if (auto refusal =
            CheckHead(static_cast<int>(message.version()), c_.limits, &head_, &framing_)) {
      return Refuse(refusal->status, refusal->detail);
    }
    if (std::optional<Response> answer = c_.handler.Admit(head_)) {
      return Send(std::move(*answer), /*close=*/head_.has_body);
    }
    if (!head_.has_body) return Dispatch();

    const std::size_t want = framing_.chunked ? c_.limits.body_bytes : framing_.length;
    if (!c_.budget.Take(want)) {
      return Refuse(503, "too many bodies are being read at once; retry in a moment");
    }
    budget_held_ = want;
    if (head_.HasHeader("Expect")) {
      return asio::async_write(
          stream_, asio::buffer(kContinue.data(), kContinue.size()),
          [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec || self->closed_) return self->CloseNow();
            self->ReadBody();
          });
    }
    ReadBody();
  }

  void ReadBody() {
    bhttp::async_read(stream_, buffer_, *parser_,
                      [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                        self->OnBody(ec);
                      });
  }

  void OnBody(beast::error_code ec) {
    if (closed_) return;
    if (ec) {
      if (timed_out_) return TimedOut();
      if (ec == bhttp::error::body_limit) {
        return Refuse(413, "the body holds at most " + std::to_string(c_.limits.body_bytes) +
                               " bytes");
      }
      if (IsMalformed(ec)) return Refuse(400, "the body is malformed: " + ec.message());
      return CloseNow();
    }
    const auto& message = parser_->get();
    if (static_cast<std::size_t>(std::distance(message.begin(), message.end())) !=
        head_.fields.size()) {
      return Refuse(400, "trailer fields after a chunked body are not taken");
    }
    head_.body = std::move(parser_->get().body());
    Dispatch();
  }

  // The whole request goes to a handler thread; the answer comes back
  // through the reply, at once or later.
  void Dispatch() {
    busy_ = true;
    awaiting_ = true;
    self_ = this->shared_from_this();
    NoDeadline();
    parser_.reset();
    std::weak_ptr<Session> weak = this->shared_from_this();
    Reply reply = [weak, shared = c_.shared](Response response) {
      std::shared_ptr<Session> self;  // released after the lock: it may be the last
      std::lock_guard<std::mutex> lock(shared->mu);
      if (!shared->open || (self = weak.lock()) == nullptr) return;
      asio::post(self->stream_.get_executor(),
                 [self, response = std::move(response)]() mutable {
                   self->OnReply(std::move(response));
                 });
    };
    asio::post(c_.pool, [&handler = c_.handler, request = std::move(head_),
                         reply = std::move(reply)]() mutable {
      handler.Handle(std::move(request), std::move(reply));
    });
  }

  void OnReply(Response response) {
    if (!awaiting_ || closed_) return;
    awaiting_ = false;
    GiveBudget();
    auto self = this->shared_from_this();
    self_.reset();
    Send(std::move(response), !keep_alive_);
  }

  void TimedOut() {
    // Over TLS the cancelled read leaves nothing to answer on.
    if constexpr (kTls) {
      CloseNow();
    } else {
      timed_out_ = false;
      Refuse(408, "the request did not come whole within " +
                      std::to_string(static_cast<int>(c_.limits.request_seconds)) + " s");
    }
  }

  void Refuse(int status, const std::string& detail) {
    Send(c_.handler.Refusal(status, detail, client_), /*close=*/true);
  }

  void Send(Response response, bool close) {
    busy_ = true;
    GiveBudget();
    close = close || draining_ || c_.stopping.load();
    auto res = std::make_shared<bhttp::response<bhttp::string_body>>();
    res->version(11);
    res->result(static_cast<unsigned>(response.status));
    res->reason(ReasonPhrase(response.status));
    for (Field& f : response.fields) res->insert(f.name, f.value);
    if (!response.content_type.empty()) res->set(bhttp::field::content_type, response.content_type);
    const std::size_t size = response.body.size();
    res->body() = std::move(response.body);
    res->prepare_payload();
    if (head_only_) {
      res->body().clear();
      res->content_length(size);
    }
    res->keep_alive(!close);
    Deadline(c_.limits.answer_seconds);
    bhttp::async_write(stream_, *res,
                       [self = this->shared_from_this(), res, close](beast::error_code ec,
                                                                     std::size_t) {
                         if (ec || self->closed_) return self->CloseNow();
                         if (close) return self->Linger();
                         self->first_ = false;
                         if (self->buffer_.size() == 0) self->buffer_.shrink_to_fit();
                         self->ReadRequest();
                       });
  }

  // Ends the connection after an answer: no more is sent, and what the
  // client still sends is read and dropped (never parsed) for a little
  // while, so it can read the answer before the connection goes.
  void Linger() {
    beast::error_code ignored;
    beast::get_lowest_layer(stream_).shutdown(tcp::socket::shutdown_send, ignored);
    buffer_.clear();
    lingered_ = 0;
    Deadline(kLingerSeconds);
    Drop();
  }
  void Drop() {
    beast::get_lowest_layer(stream_).async_read_some(
        buffer_.prepare(4096),
        [self = this->shared_from_this()](beast::error_code ec, std::size_t n) {
          self->lingered_ += n;
          self->buffer_.clear();
          if (ec || self->closed_ || self->lingered_ > kLingerBytes) return self->CloseNow();
          self->Drop();
        });
  }

  void GiveBudget() {
    if (budget_held_ > 0) c_.budget.Give(budget_held_);
    budget_held_ = 0;
  }

  const Context& c_;
  std::shared_ptr<TlsContext> tls_context_;
  Stream stream_;
  asio::steady_timer timer_;
  beast::flat_buffer buffer_;
  std::optional<bhttp::request_parser<bhttp::string_body>> parser_;
  std::string client_;  // the client's address
  Request head_;
  Framing framing_;
  std::size_t budget_held_ = 0;
  std::size_t lingered_ = 0;
  std::size_t header_seen_ = 0;  // bytes of the header the parser took
  std::uint64_t deadline_generation_ = 0;
  std::shared_ptr<Session> self_;  // alive while its answer is awaited
  bool first_ = true;
  bool busy_ = false;      // a request is being read or answered
  bool awaiting_ = false;  // a handler has the request
  bool keep_alive_ = true;
  bool head_only_ = false;
  bool timed_out_ = false;
  bool draining_ = false;
  bool closed_ = false;
};

class BeastServer : public Server {
 public:
  BeastServer(const ServerOptions& options, Handler& handler)
      : options_(options),
        shared_(std::make_shared<Shared>()),
        pool_(static_cast<std::size_t>(options.handler_threads)),
        budget_(options.limits.bodies_in_flight_bytes),
        context_{options.limits, handler, shared_, pool_, budget_, stopping_},
        acceptor_(io_),
        retry_(io_) {}

  ~BeastServer() override {
    try {
      Stop();
    } catch (...) {  // a thread that cannot be joined: nothing left to do
    }
  }

  Status Listen() {
    const std::string where = Authority(options_.host, options_.port);
    if (options_.tls) {
#if FISKAL_HTTP_TLS
      tls_ = std::make_unique<TlsContexts>(*options_.tls, options_.log);
      if (Status s = tls_->Load(); !s.ok()) return s;
#else
      return Status::Error("cannot serve HTTPS on " + where +
                           ": this build of fiskald has no TLS (it serves plain HTTP; keep it "
                           "on loopback)");
#endif
    }
    beast::error_code ec;
    const asio::ip::address address = asio::ip::make_address(options_.host, ec);
    if (ec) return Status::Error("cannot listen on " + where + ": not an address");
    const tcp::endpoint endpoint(address, static_cast<std::uint16_t>(options_.port));
    acceptor_.open(endpoint.protocol(), ec);
    // SO_REUSEADDR only: a port another program listens on stays its own.
    if (!ec) acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acceptor_.bind(endpoint, ec);
    if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
      return Status::Error("cannot listen on " + where + ": " + ec.message() +
                           " (is another fiskald running there, or the port taken?)");
    }
    port_ = acceptor_.local_endpoint().port();
    Accept();
    thread_ = std::thread([this] { io_.run(); });
    return Status::Ok();
  }

  int port() const override { return port_; }

  void Stop() override {
    if (stopped_.exchange(true)) return;
    stopping_.store(true);
    asio::post(io_, [this] {
      beast::error_code ignored;
      acceptor_.close(ignored);
      retry_.cancel();
      for (const auto& session : Sessions()) session->Drain();
    });
    {
      std::unique_lock<std::mutex> lock(shared_->mu);
      shared_->ended.wait_for(lock, Seconds(kStopGraceSeconds),
                              [&] { return shared_->sessions.empty(); });
    }
    asio::post(io_, [this] {
      for (const auto& session : Sessions()) session->CloseNow();
    });
    pool_.join();
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> lock(shared_->mu);
    shared_->open = false;
  }

 private:
  std::vector<std::shared_ptr<SessionBase>> Sessions() {
    std::vector<std::shared_ptr<SessionBase>> all;
    std::lock_guard<std::mutex> lock(shared_->mu);
    for (const auto& [raw, weak] : shared_->sessions) {
      if (auto s = weak.lock()) all.push_back(std::move(s));
    }
    return all;
  }

  std::size_t Open() {
    std::lock_guard<std::mutex> lock(shared_->mu);
    return shared_->sessions.size();
  }

  void StartSession(tcp::socket socket) {
#if FISKAL_HTTP_TLS
    if (tls_) {
      std::make_shared<Session<asio::ssl::stream<tcp::socket>>>(context_, std::move(socket),
                                                                tls_->Current())
          ->Start();
      return;
    }
#endif
    std::make_shared<Session<tcp::socket>>(context_, std::move(socket), nullptr)->Start();
  }

  void Accept() {
    acceptor_.async_accept([this](beast::error_code ec, tcp::socket socket) {
      if (ec == asio::error::operation_aborted || stopping_.load()) return;
      if (ec) {
        // Out of descriptors (or memory): wait a little instead of
        // asking again at once, which would spin.
        if (options_.log && !said_out_of_descriptors_) {
          options_.log("cannot take a connection on " + Authority(options_.host, port_) + ": " +
                       ec.message() + "; connections are refused until some end");
          said_out_of_descriptors_ = true;
        }
        retry_.expires_after(Seconds(kAcceptRetrySeconds));
        retry_.async_wait([this](beast::error_code wait) {
          if (!wait) Accept();
        });
        return;
      }
      said_out_of_descriptors_ = false;
      if (Open() >= options_.limits.connections) {
        beast::error_code ignored;
        socket.close(ignored);  // beyond the limit: closed at once
      } else {
        socket.set_option(tcp::no_delay(true), ec);
        StartSession(std::move(socket));
      }
      Accept();
    });
  }

  ServerOptions options_;
  std::shared_ptr<Shared> shared_;
  asio::thread_pool pool_;
  BodyBudget budget_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> stopped_{false};
  Context context_;
#if FISKAL_HTTP_TLS
  std::unique_ptr<TlsContexts> tls_;
#endif
  asio::io_context io_{1};
  tcp::acceptor acceptor_;
  asio::steady_timer retry_;
  std::thread thread_;
  int port_ = 0;
  bool said_out_of_descriptors_ = false;
};

}  // namespace

Status StartServer(const ServerOptions& options, Handler& handler, std::unique_ptr<Server>* server) {
  auto s = std::make_unique<BeastServer>(options, handler);
  if (Status status = s->Listen(); !status.ok()) return status;
  *server = std::move(s);
  return Status::Ok();
}

}  // namespace fiskal::service::http

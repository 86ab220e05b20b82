#include "service/api.h"

#include <httplib.h>
#include <openssl/evp.h>

#include <charconv>
#include <nlohmann/json.hpp>

#include "printer/slip.h"
#include "protocol/receipt_check.h"
#include "service/assets.h"
#include "service/receipt_form.h"
#include "service/resource.h"

namespace fiskal::service {

using Json = nlohmann::ordered_json;

namespace {

constexpr const char* kProblemType = "application/problem+json";
constexpr const char* kJsonType = "application/json";

const char* Title(int status) {
  switch (status) {
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 409: return "Conflict";
    case 413: return "Content Too Large";
    case 415: return "Unsupported Media Type";
    case 422: return "Unprocessable Content";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Error";
  }
}

Json Problem(int status, const std::string& detail) {
  return {{"type", "about:blank"}, {"title", Title(status)}, {"status", status}, {"detail", detail}};
}

void SendProblem(httplib::Response& res, int status, const std::string& detail,
                 const Json& extra = Json::object()) {
  Json body = Problem(status, detail);
  for (const auto& [k, v] : extra.items()) body[k] = v;
  res.status = status;
  res.set_content(Dump(body), kProblemType);
}

void SendJson(httplib::Response& res, int status, const Json& body) {
  res.status = status;
  res.set_content(Dump(body), kJsonType);
}

std::string Sha256(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr);
  return std::string(reinterpret_cast<char*>(digest), size);
}

// 1 to 255 visible ASCII characters.
bool ValidKey(const std::string& key) {
  if (key.empty() || key.size() > 255) return false;
  for (char c : key) {
    if (c < 0x21 || c > 0x7E) return false;
  }
  return true;
}

// The media type of a Content-Type header, lower case, without parameters.
std::string MediaType(const std::string& content_type) {
  std::string type = content_type.substr(0, content_type.find(';'));
  while (!type.empty() && type.back() == ' ') type.pop_back();
  for (char& c : type) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return type;
}

// A whole number from `min` to `max`, or nothing.
std::optional<int> Whole(const std::string& text, int min, int max) {
  int value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < min ||
      value > max) {
    return std::nullopt;
  }
  return value;
}

// The ?wait=S of a request, 0 when not given. A malformed one is answered
// with 400, and false returned.
bool ReadWait(const httplib::Request& req, int max, httplib::Response& res, int* wait) {
  *wait = 0;
  if (!req.has_param("wait")) return true;
  const auto w = Whole(req.get_param_value("wait"), 0, max);
  if (!w) {
    SendProblem(res, 400, "wait must be a whole number of seconds from 0 to " + std::to_string(max));
    return false;
  }
  *wait = *w;
  return true;
}

std::int64_t PathId(const httplib::Request& req) {
  std::int64_t id = 0;
  const std::string text = req.matches[1];
  std::from_chars(text.data(), text.data() + text.size(), id);
  return id;
}

}  // namespace

struct Api::Answer {
  int status = 200;
  std::string body;  // JSON text
  bool problem = false;
  bool replayed = false;
  std::int64_t id = 0;
};

Api::Api(Journal& journal, Printers& printers, PortAccess& ports, Shutdown& shutdown,
         AccessRules rules, ApiLimits limits)
    : journal_(journal),
      printers_(printers),
      ports_(ports),
      shutdown_(shutdown),
      rules_(std::move(rules)),
      limits_(limits) {}

void Api::Wait(std::int64_t id, int seconds) {
  if (seconds <= 0) return;
  // Waits hold a request thread; past the limit they answer at once.
  if (waiting_.fetch_add(1) >= limits_.max_waiting) {
    waiting_.fetch_sub(1);
    return;
  }
  printers_.WaitFor(
      [&] {
        std::optional<StoredReceipt> r;
        return !journal_.Get(id, &r).ok() || !r || IsFinal(r->state) || shutdown_.draining();
      },
      seconds);
  waiting_.fetch_sub(1);
}

bool Api::LoadReceipt(const httplib::Request& req, httplib::Response& res,
                      std::optional<StoredReceipt>* receipt) {
  const std::int64_t id = PathId(req);
  if (Status s = journal_.Get(id, receipt); !s.ok()) {
    SendProblem(res, 503, s.message());
    return false;
  }
  if (!*receipt) {
    SendProblem(res, 404, "there is no receipt " + std::to_string(id));
    return false;
  }
  return true;
}

Api::Answer Api::PostReceipt(const std::string& key, const std::string& content_type,
                             const std::string& body, int wait) {
  auto problem = [](int status, const std::string& detail, Json extra = Json::object()) {
    Answer a;
    a.status = status;
    a.problem = true;
    Json body = Problem(status, detail);
    for (const auto& [k, v] : extra.items()) body[k] = v;
    a.body = Dump(body);
    return a;
  };
  if (!ValidKey(key)) {
    return problem(400, key.empty() ? "the header Idempotency-Key is required: a fresh key for "
                                      "each receipt, the same key when a request is retried"
                                    : "Idempotency-Key must be 1 to 255 visible ASCII characters");
  }
  const std::string type = MediaType(content_type);
  if (type != "text/plain" && type != "application/json") {
    return problem(415, "a receipt is posted as text/plain (the contents of fiskal.txt) or "
                        "application/json, not " +
                            (type.empty() ? std::string("without a Content-Type") : type));
  }
  if (body.size() > limits_.max_body) {
    return problem(413, "a receipt body holds at most " + std::to_string(limits_.max_body) +
                            " bytes");
  }

  // One request per key at a time.
  {
    std::lock_guard<std::mutex> lock(keys_mu_);
    if (!keys_in_flight_.insert(key).second) {
      return problem(409, "a request with this Idempotency-Key is still being answered; retry "
                          "once it has been");
    }
  }
  struct Release {
    Api* api;
    const std::string& key;
    ~Release() {
      std::lock_guard<std::mutex> lock(api->keys_mu_);
      api->keys_in_flight_.erase(key);
    }
  } release{this, key};

  const std::string digest = Sha256(body);
  std::optional<StoredReceipt> stored;
  if (Status s = journal_.FindByKey(key, &stored); !s.ok()) return problem(500, s.message());
  if (stored) {
    if (stored->body_sha256 != digest) {
      return problem(422, "this Idempotency-Key was used for another receipt (a different "
                          "body); use a fresh key for a new receipt",
                     {{"receipt", stored->id}});
    }
    Wait(stored->id, wait);
    if (Status s = journal_.Get(stored->id, &stored); !s.ok() || !stored) {
      return problem(500, s.message());
    }
    Answer a;
    a.body = Dump(ReceiptJson(*stored));
    a.replayed = true;
    a.id = stored->id;
    return a;
  }

  // A new receipt: read it by fiskal's rules.
  const bool json = type == "application/json";
  std::string fiskal_txt;
  if (json) {
    if (auto p = JsonToFiskalTxt(body, &fiskal_txt)) {
      Json extra = Json::object();
      if (p->item) extra["item"] = *p->item;
      return problem(p->http_status, p->detail, extra);
    }
  }
  Receipt receipt;
  if (auto p = PrepareFromText(json ? fiskal_txt : body, json, &receipt)) {
    Json extra = Json::object();
    if (p->line) extra["line"] = *p->line;
    if (p->item) extra["item"] = *p->item;
    return problem(p->http_status, p->detail, extra);
  }
  const int port = receipt.nPort;
  if (!printers_.Reserve(port, limits_.max_queued_per_port)) {
    return problem(503, "the queue of port " + std::to_string(port) + " holds " +
                            std::to_string(limits_.max_queued_per_port) +
                            " receipts already; retry later");
  }

  NewReceipt fresh;
  fresh.idempotency_key = key;
  fresh.body_sha256 = digest;
  fresh.port = port;
  if (port != 0) fresh.device = ports_.Device(port);
  for (const Text& t : receipt.texts) fresh.texts.push_back({t.bytes, t.label, t.pause_after});
  std::int64_t id = 0;
  bool duplicate = false;
  const Status s = journal_.Accept(
      fresh, [&](std::int64_t new_id) { printers_.Enqueue(new_id, port); }, &id, &duplicate);
  if (!s.ok()) {
    printers_.Release(port);
    return problem(duplicate ? 409 : 503,
                   duplicate ? "this Idempotency-Key was taken meanwhile; retry to get its receipt"
                             : "the receipt was not stored, so it will not print: " + s.message());
  }
  Wait(id, wait);
  if (Status g = journal_.Get(id, &stored); !g.ok() || !stored) return problem(500, g.message());
  Answer a;
  a.status = 201;
  a.body = Dump(ReceiptJson(*stored));
  a.id = id;
  return a;
}

void Api::Install(httplib::Server& server) {
  // Bodies a little over the limit are read whole and refused with a
  // problem; far larger ones are cut off by the server itself.
  server.set_payload_max_length(limits_.max_body * 2);

  // Who may ask, before any route.
  server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    using R = httplib::Server::HandlerResponse;
    if (!HostAllowed(rules_, req.get_header_value("Host"))) {
      SendProblem(res, 403, "the Host header must name " + rules_.listen.Authority() +
                                " or localhost:" + std::to_string(rules_.listen.port));
      return R::Handled;
    }
    const std::string origin = req.get_header_value("Origin");
    const bool listed = IsListedOrigin(rules_, origin);
    if (!origin.empty() && !listed && !IsOwnOrigin(rules_, origin)) {
      SendProblem(res, 403, "requests from the origin " + origin +
                                " are not allowed; start fiskald with --allow-origin " + origin +
                                " to allow them");
      return R::Handled;
    }
    if (req.method == "OPTIONS") {
      if (!listed) {
        SendProblem(res, 403, "preflight requests are answered for the origins given with "
                              "--allow-origin only");
        return R::Handled;
      }
      res.status = 204;
      res.set_header("Access-Control-Allow-Methods", "GET, POST");
      res.set_header("Access-Control-Allow-Headers", "Content-Type, Idempotency-Key, Authorization");
      res.set_header("Access-Control-Max-Age", "600");
      return R::Handled;
    }
    // The page and its files load without the token; the page asks for it
    // and sends it with every call it makes.
    const bool open = req.path == "/healthz" || req.path == "/" || req.path == "/app.js" ||
                      req.path == "/style.css" || req.path == "/slip.css" ||
                      req.path == "/icon.svg";
    if (!open && !TokenMatches(rules_, req.get_header_value("Authorization"))) {
      res.set_header("WWW-Authenticate", "Bearer");
      SendProblem(res, 401, "this service needs the header Authorization: Bearer <token>, the "
                            "token in fiskald's token file");
      return R::Handled;
    }
    return R::Unhandled;
  });
  server.set_post_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    const std::string origin = req.get_header_value("Origin");
    if (IsListedOrigin(rules_, origin)) {
      res.set_header("Access-Control-Allow-Origin", origin);
      res.set_header("Access-Control-Expose-Headers", "Location, Idempotent-Replayed");
      res.set_header("Vary", "Origin");
    }
  });
  // Errors the server makes itself (no route, a body too large) are
  // problems too.
  server.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
    if (!res.body.empty()) return;
    std::string detail = "no such resource: " + req.method + " " + req.path;
    if (res.status == 413) detail = "the body is far larger than a receipt can be";
    if (res.status >= 500) detail = "the service failed to answer";
    SendProblem(res, res.status, detail);
  });
  server.set_exception_handler(
      [](const httplib::Request&, httplib::Response& res, const std::exception_ptr&) {
        SendProblem(res, 500, "the service failed to answer this request");
      });

  server.Get("/healthz", [](const httplib::Request&, httplib::Response& res) {
    SendJson(res, 200, {{"status", "alive"}});
  });
  server.Get("/readyz", [this](const httplib::Request&, httplib::Response& res) {
    if (shutdown_.draining()) return SendProblem(res, 503, "fiskald is stopping");
    if (Status s = journal_.CheckWritable(); !s.ok()) {
      return SendProblem(res, 503, "the journal cannot be written: " + s.message());
    }
    SendJson(res, 200, {{"status", "ready"}});
  });
  server.Get("/openapi.json", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(std::string(Asset("openapi.json")), kJsonType);
  });

  // The shop's page: everything from the binary itself, and the browser
  // told to fetch nothing from anywhere else.
  auto page_file = [](const char* name, const char* type) {
    return [name, type](const httplib::Request&, httplib::Response& res) {
      res.set_header("Content-Security-Policy",
                     "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
                     "connect-src 'self'; base-uri 'none'; form-action 'none'; "
                     "frame-ancestors 'none'");
      res.set_header("X-Content-Type-Options", "nosniff");
      res.set_header("Referrer-Policy", "no-referrer");
      res.set_header("Cache-Control", "no-cache");
      res.set_content(name != nullptr ? std::string(Asset(name)) : std::string(SlipCss()), type);
    };
  };
  server.Get("/", page_file("page/index.html", "text/html; charset=utf-8"));
  server.Get("/app.js", page_file("page/app.js", "text/javascript; charset=utf-8"));
  server.Get("/style.css", page_file("page/style.css", "text/css; charset=utf-8"));
  server.Get("/slip.css", page_file(nullptr, "text/css; charset=utf-8"));
  server.Get("/icon.svg", page_file("page/icon.svg", "image/svg+xml"));
  server.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
    std::map<State, std::int64_t> counts;
    if (Status s = journal_.CountByState(&counts); !s.ok()) {
      return SendProblem(res, 503, s.message());
    }
    std::string text =
        "# HELP fiskald_receipts Receipts in the journal, by state.\n"
        "# TYPE fiskald_receipts gauge\n";
    for (const auto& [state, n] : counts) {
      text += "fiskald_receipts{state=\"" + std::string(StateName(state)) + "\"} " +
              std::to_string(n) + "\n";
    }
    text += "# HELP fiskald_receipts_in_doubt Receipts in doubt: each needs a person's word.\n"
            "# TYPE fiskald_receipts_in_doubt gauge\n"
            "fiskald_receipts_in_doubt " + std::to_string(counts[State::kInDoubt]) + "\n";
    text += "# HELP fiskald_queue_length Receipts queued or being sent, per port.\n"
            "# TYPE fiskald_queue_length gauge\n";
    for (const PrinterStatus& p : printers_.Snapshot()) {
      text += "fiskald_queue_length{port=\"" + std::to_string(p.port) + "\"} " +
              std::to_string(p.queued + (p.sending ? 1 : 0)) + "\n";
    }
    double sum = 0;
    std::uint64_t count = 0;
    printers_.SendTimes(&sum, &count);
    char seconds[64];
    std::snprintf(seconds, sizeof seconds, "%.6f", sum);
    text += "# HELP fiskald_send_seconds Time from taking a receipt off its queue to its end.\n"
            "# TYPE fiskald_send_seconds summary\n"
            "fiskald_send_seconds_sum " + std::string(seconds) + "\n" +
            "fiskald_send_seconds_count " + std::to_string(count) + "\n";
    res.set_content(text, "text/plain; version=0.0.4; charset=utf-8");
  });

  server.Post("/v1/receipts", [this](const httplib::Request& req, httplib::Response& res) {
    if (shutdown_.draining()) {
      res.set_header("Retry-After", "5");
      return SendProblem(res, 503, "fiskald is stopping and takes no new receipt; retry with "
                                   "the same Idempotency-Key once it is back");
    }
    int wait = 0;
    if (!ReadWait(req, limits_.max_wait_seconds, res, &wait)) return;
    const Answer a = PostReceipt(req.get_header_value("Idempotency-Key"),
                                 req.get_header_value("Content-Type"), req.body, wait);
    res.status = a.status;
    if (a.status == 201) res.set_header("Location", "/v1/receipts/" + std::to_string(a.id));
    if (a.replayed) res.set_header("Idempotent-Replayed", "true");
    if (a.status == 503) res.set_header("Retry-After", "5");
    res.set_content(a.body, a.problem ? kProblemType : kJsonType);
  });

  server.Get("/v1/receipts", [this](const httplib::Request& req, httplib::Response& res) {
    std::optional<State> state;
    if (req.has_param("state")) {
      state = ParseState(req.get_param_value("state"));
      if (!state) return SendProblem(res, 400, "state must be one of the receipt states");
    }
    int limit = 50;
    if (req.has_param("limit")) {
      auto l = Whole(req.get_param_value("limit"), 1, 1000);
      if (!l) return SendProblem(res, 400, "limit must be a whole number from 1 to 1000");
      limit = *l;
    }
    std::vector<StoredReceipt> receipts;
    if (Status s = journal_.List(state, limit, &receipts); !s.ok()) {
      return SendProblem(res, 503, s.message());
    }
    Json list = Json::array();
    for (const StoredReceipt& r : receipts) list.push_back(ReceiptJson(r));
    SendJson(res, 200, {{"receipts", list}});
  });

  server.Get(R"(/v1/receipts/(\d{1,18}))", [this](const httplib::Request& req,
                                                  httplib::Response& res) {
    int wait = 0;
    if (!ReadWait(req, limits_.max_wait_seconds, res, &wait)) return;
    std::optional<StoredReceipt> r;
    if (!LoadReceipt(req, res, &r)) return;
    if (!IsFinal(r->state) && wait > 0) {
      Wait(r->id, wait);
      if (!LoadReceipt(req, res, &r)) return;
    }
    SendJson(res, 200, ReceiptJson(*r));
  });

  server.Get(R"(/v1/receipts/(\d{1,18})/transcript)", [this](const httplib::Request& req,
                                                             httplib::Response& res) {
    std::optional<StoredReceipt> r;
    if (!LoadReceipt(req, res, &r)) return;
    res.set_content(TranscriptOf(*r), "application/octet-stream");
  });

  // The receipt drawn as the printer prints it (every text, sent or not).
  server.Get(R"(/v1/receipts/(\d{1,18})/slip)", [this](const httplib::Request& req,
                                                       httplib::Response& res) {
    std::optional<StoredReceipt> r;
    if (!LoadReceipt(req, res, &r)) return;
    std::vector<RawText> texts;
    for (const JournalText& t : r->texts) texts.push_back({t.bytes, 0});
    res.set_content(SlipHtml(CheckReceipt(texts)), "text/html; charset=utf-8");
  });

  server.Post(R"(/v1/receipts/(\d{1,18})/resolve)", [this](const httplib::Request& req,
                                                           httplib::Response& res) {
    const Json body = Json::parse(req.body, nullptr, false);
    if (body.is_discarded() || !body.is_object() || body.size() != 1 ||
        !body.contains("printed") || !body.at("printed").is_boolean()) {
      return SendProblem(res, 400, "the body must be {\"printed\": true} or {\"printed\": false}");
    }
    const std::int64_t id = PathId(req);
    bool found = false, conflict = false;
    if (Status s = journal_.Resolve(id, body.at("printed").get<bool>(), &found, &conflict);
        !s.ok()) {
      return SendProblem(res, 503, s.message());
    }
    if (!found) return SendProblem(res, 404, "there is no receipt " + std::to_string(id));
    std::optional<StoredReceipt> r;
    if (Status s = journal_.Get(id, &r); !s.ok() || !r) return SendProblem(res, 503, s.message());
    if (conflict) {
      return SendProblem(res, 409, "receipt " + std::to_string(id) + " is " +
                                       std::string(StateName(r->state)) +
                                       "; only a receipt in_doubt or cut is resolved",
                         {{"state", StateName(r->state)}});
    }
    printers_.Changed();
    SendJson(res, 200, ReceiptJson(*r));
  });

  server.Get("/v1/printers", [this](const httplib::Request&, httplib::Response& res) {
    Json list = Json::array();
    for (const PrinterStatus& p : printers_.Snapshot()) {
      Json sending = nullptr, last = nullptr;
      if (p.sending) sending = {{"id", *p.sending}, {"text", p.text}, {"texts", p.texts}};
      if (p.last_id) {
        last = {{"id", *p.last_id},
                {"state", p.last_state},
                {"finished_at", Rfc3339(p.last_finished_ms)}};
      }
      list.push_back({{"port", p.port},
                      {"device", p.device.empty() ? Json(nullptr) : Json(p.device)},
                      {"queue_length", p.queued},
                      {"sending", sending},
                      {"last", last}});
    }
    SendJson(res, 200, {{"printers", list}});
  });
}

}  // namespace fiskal::service

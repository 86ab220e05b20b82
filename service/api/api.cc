#include "service/api/api.h"

#include <charconv>
#include <cstdio>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>

#include "printer/slip.h"
#include "protocol/receipt_check.h"
#include "service/api/assets.h"
#include "service/intake/receipt_form.h"
#include "service/api/resource.h"
#include "base/time_text.h"
#include "service/intake/strict_json.h"

namespace fiskal::service {

using Json = nlohmann::ordered_json;

// A route: the method ("GET" answers HEAD too), the path ("{id}" stands
// for a receipt's id, 1 to 2^53-1), whether it is answered without the
// token, the query parameters it takes (space-separated), and its answer.
struct Api::Route {
  const char* method;
  const char* path;
  bool open;
  const char* query;
  Answer answer;
};

namespace {

constexpr bool kOpen = true;
constexpr bool kToken = false;
constexpr std::int64_t kMaxId = (std::int64_t{1} << 53) - 1;
constexpr const char* kRetrySeconds = "5";

}  // namespace

// Every route fiskald serves (service/api/openapi_test.py reads this table).
const Api::Route Api::kRoutes[] = {
    {"GET", "/healthz", kOpen, "", &Api::Healthz},
    {"GET", "/readyz", kToken, "", &Api::Readyz},
    {"GET", "/metrics", kToken, "", &Api::Metrics},
    {"GET", "/openapi.json", kToken, "", &Api::OpenApi},
    // The shop's page and its files load without the token; the page asks
    // for it and sends it with every call it makes.
    {"GET", "/", kOpen, "", &Api::PageFile},
    {"GET", "/app.js", kOpen, "", &Api::PageFile},
    {"GET", "/style.css", kOpen, "", &Api::PageFile},
    {"GET", "/slip.css", kOpen, "", &Api::PageFile},
    {"GET", "/icon.svg", kOpen, "", &Api::PageFile},
    {"POST", "/v1/receipts", kToken, "wait", &Api::PostReceipt},
    {"GET", "/v1/receipts", kToken, "state limit before", &Api::ListReceipts},
    {"GET", "/v1/receipts/{id}", kToken, "wait", &Api::GetReceipt},
    {"GET", "/v1/receipts/{id}/transcript", kToken, "", &Api::Transcript},
    {"GET", "/v1/receipts/{id}/slip", kToken, "", &Api::Slip},
    {"POST", "/v1/receipts/{id}/resolve", kToken, "", &Api::Resolve},
    {"GET", "/v1/printers", kToken, "", &Api::ListPrinters},
    {"POST", "/v1/printers/{port}/give-up", kToken, "", &Api::GiveUp},
    {"GET", "/v1/broker", kToken, "", &Api::BrokerConnection},
};

namespace {

// The media type of a Content-Type header, lower case, without parameters.
std::string MediaType(std::string_view content_type) {
  std::string type(content_type.substr(0, content_type.find(';')));
  while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.pop_back();
  for (char& c : type) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return type;
}

// A whole number from `min` to `max`, or nothing.
std::optional<int> Whole(std::string_view text, int min, int max) {
  int value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < min ||
      value > max) {
    return std::nullopt;
  }
  return value;
}

// Whether `path` is `pattern`, "{id}" matching an id from 1 to 2^53-1
// written without leading zeros, "{port}" one digit; the id or the port
// in *id.
bool Matches(std::string_view pattern, std::string_view path, std::int64_t* id) {
  const std::size_t at = pattern.find('{');
  if (at == std::string_view::npos) return pattern == path;
  const std::size_t close = pattern.find('}', at);
  const bool port = pattern.substr(at, close + 1 - at) == "{port}";
  if (path.substr(0, at) != pattern.substr(0, at)) return false;
  const std::string_view rest = pattern.substr(close + 1);
  if (path.size() < at + rest.size() || path.substr(path.size() - rest.size()) != rest) {
    return false;
  }
  const std::string_view digits = path.substr(at, path.size() - rest.size() - at);
  if (port) {
    if (digits.size() != 1 || digits[0] < '0' || digits[0] > '9') return false;
    *id = digits[0] - '0';
    return true;
  }
  if (digits.empty() || digits.size() > 16 || digits[0] < '1' || digits[0] > '9') return false;
  std::int64_t value = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size() || value > kMaxId) return false;
  *id = value;
  return true;
}

bool Takes(const char* query, std::string_view name) {
  std::string_view list(query);
  while (!list.empty()) {
    const std::size_t space = list.find(' ');
    if (list.substr(0, space) == name) return true;
    list = space == std::string_view::npos ? std::string_view() : list.substr(space + 1);
  }
  return false;
}

http::Response Problem(int status, const std::string& detail, const Json& extra = Json::object()) {
  http::Response r = ProblemAnswer(status, detail, extra);
  if (status == 503) r.Set("Retry-After", kRetrySeconds);
  return r;
}

// Checks of a request's query, as far as they need no journal: what the
// parameters hold.
std::optional<http::Response> CheckQuery(const http::Request& head, const char* takes,
                                         const ApiLimits& limits) {
  for (const auto& [name, value] : head.query) {
    if (!Takes(takes, name)) {
      const std::string known = *takes != '\0' ? std::string(" (it takes: ") + takes + ")" : "";
      std::string detail = "the query parameter " + name;
      detail += " is not taken by " + head.path;
      detail += known;
      return Problem(400, detail);
    }
  }
  if (auto wait = head.Query("wait"); wait && !Whole(*wait, 0, limits.max_wait_seconds)) {
    return Problem(400, "wait must be a whole number of seconds from 0 to " +
                            std::to_string(limits.max_wait_seconds));
  }
  if (auto state = head.Query("state"); state && !ParseState(*state)) {
    return Problem(400, "state must be one of the receipt states");
  }
  if (std::int64_t id = 0; head.Query("before") && !Matches("{id}", *head.Query("before"), &id)) {
    return Problem(400, "before must be a receipt's id: a whole number from 1 to " +
                            std::to_string(kMaxId));
  }
  if (auto limit = head.Query("limit"); limit && !Whole(*limit, 1, limits.max_listed)) {
    return Problem(400, "limit must be a whole number from 1 to " +
                            std::to_string(limits.max_listed));
  }
  return std::nullopt;
}

int WaitOf(const http::Request& request) {
  const auto wait = request.Query("wait");
  return wait ? Whole(*wait, 0, 1 << 30).value_or(0) : 0;
}

}  // namespace

Api::Api(Journal& journal, Intake& intake, Printers& printers, Shutdown& shutdown, Waits& waits,
         AccessRules rules, ApiLimits limits)
    : journal_(journal),
      intake_(intake),
      printers_(printers),
      shutdown_(shutdown),
      waits_(waits),
      rules_(std::move(rules)),
      limits_(limits) {}

const Api::Route* Api::Find(const http::Request& request, std::int64_t* id) const {
  for (const Route& route : kRoutes) {
    const std::string_view method = route.method;
    if ((method == request.method || (method == "GET" && request.method == "HEAD")) &&
        Matches(route.path, request.path, id)) {
      return &route;
    }
  }
  return nullptr;
}

std::optional<http::Response> Api::Admit(const http::Request& head) {
  const std::vector<http::Field> cors = CorsFields(rules_, head);
  auto refuse = [&](http::Response r) {
    for (const http::Field& f : cors) r.fields.push_back(f);
    return std::optional<http::Response>(std::move(r));
  };
  // What the path is served for, whatever the method.
  std::string allow;
  bool known = false, open = false;
  for (const Route& route : kRoutes) {
    std::int64_t ignored = 0;
    if (!Matches(route.path, head.path, &ignored)) continue;
    known = true;
    open = open || route.open;
    allow += std::string(allow.empty() ? "" : ", ") + route.method;
    if (std::string_view(route.method) == "GET") allow += ", HEAD";
  }

  if (head.method == "OPTIONS") {
    if (auto refusal = CheckPreflight(rules_, head)) {
      return Problem(refusal->status, refusal->detail);
    }
    return refuse(PreflightAnswer());
  }
  if (auto refusal = CheckAccess(rules_, head, /*needs_token=*/!open)) {
    http::Response r = Problem(refusal->status, refusal->detail);
    for (http::Field& f : refusal->fields) r.fields.push_back(std::move(f));
    return refuse(std::move(r));
  }
  std::int64_t id = 0;
  const Route* route = Find(head, &id);
  if (!known) return refuse(Problem(404, "no such resource: " + head.method + " " + head.path));
  if (route == nullptr) {
    http::Response r = Problem(405, head.method + " is not served for " + head.path +
                                        "; it takes " + allow);
    r.Set("Allow", allow);
    return refuse(std::move(r));
  }
  if (auto p = CheckQuery(head, route->query, limits_)) return refuse(*p);

  if (route->answer == &Api::PostReceipt) {
    const std::string type = MediaType(head.Header("Content-Type"));
    if (type != "text/plain" && type != "application/json") {
      return refuse(Problem(415, "a receipt is posted as text/plain (the contents of fiskal.txt) "
                                 "or application/json, not " +
                                     (type.empty() ? std::string("without a Content-Type")
                                                   : type)));
    }
    const std::string_view key = head.Header("Idempotency-Key");
    if (!ValidKey(key)) {
      return refuse(Problem(
          400, key.empty() ? "the header Idempotency-Key is required: a fresh key for each "
                             "receipt, the same key when a request is retried"
                           : "Idempotency-Key must be 1 to 255 visible ASCII characters"));
    }
  }
  if (route->answer == &Api::Resolve && MediaType(head.Header("Content-Type")) != "application/json") {
    return refuse(Problem(415, "a decision is posted as application/json: {\"printed\": true} "
                               "or {\"printed\": false}"));
  }
  return std::nullopt;
}

void Api::Handle(http::Request request, http::Reply reply) {
  std::int64_t id = 0;
  const Route* route = Find(request, &id);
  // Every answer goes out once, with the fields a listed origin needs.
  auto answered = std::make_shared<std::atomic<bool>>(false);
  http::Reply once = [reply = std::move(reply), answered,
                      cors = CorsFields(rules_, request)](http::Response r) {
    if (answered->exchange(true)) return;
    for (const http::Field& f : cors) r.fields.push_back(f);
    reply(std::move(r));
  };
  if (route == nullptr) return once(Problem(404, "no such resource: " + request.path));
  try {
    (this->*(route->answer))(request, id, once);
  } catch (const std::exception&) {
    once(Problem(500, "the service failed to answer this request"));
  }
}

http::Response Api::Refusal(int status, const std::string& detail) {
  return Problem(status, detail);
}

std::optional<StoredReceipt> Api::Load(std::int64_t id, const http::Reply& reply) {
  std::optional<StoredReceipt> r;
  if (Status s = journal_.Get(id, &r); !s.ok()) {
    reply(Problem(503, s.message()));
    return std::nullopt;
  }
  if (!r) reply(Problem(404, "there is no receipt " + std::to_string(id)));
  return r;
}

void Api::AnswerReceipt(std::int64_t id, int wait, int status, bool replayed,
                        const http::Reply& reply) {
  auto send = [this, id, status, replayed, reply] {
    std::optional<StoredReceipt> r;
    if (Status s = journal_.Get(id, &r); !s.ok() || !r) {
      return reply(Problem(500, "the receipt was stored, but cannot be read now: " + s.message()));
    }
    http::Response answer = JsonAnswer(status, ReceiptJson(*r));
    if (status == 201) answer.Set("Location", "/v1/receipts/" + std::to_string(id));
    if (replayed) answer.Set("Idempotent-Replayed", "true");
    reply(std::move(answer));
  };
  auto final_now = [&] {
    std::optional<StoredReceipt> r;
    return !journal_.Get(id, &r).ok() || !r || IsFinal(r->state);
  };
  // A wait holds no thread: the answer goes out from the waits' thread
  // when the receipt is final, the time is up, or fiskald begins to stop.
  if (wait <= 0 || final_now() || !waits_.Add(id, wait, send)) return send();
  if (final_now()) waits_.Finished(id);  // it ended before the wait was in place
}

void Api::Healthz(const http::Request&, std::int64_t, const http::Reply& reply) {
  reply(JsonAnswer(200, {{"status", "alive"}}));
}

void Api::Readyz(const http::Request&, std::int64_t, const http::Reply& reply) {
  if (shutdown_.draining()) return reply(Problem(503, "fiskald is stopping"));
  if (Status s = journal_.CheckWritable(); !s.ok()) {
    return reply(Problem(503, "the journal cannot be written: " + s.message()));
  }
  reply(JsonAnswer(200, {{"status", "ready"}}));
}

void Api::OpenApi(const http::Request&, std::int64_t, const http::Reply& reply) {
  http::Response r;
  r.content_type = "application/json";
  r.body = std::string(Asset("openapi.json"));
  reply(std::move(r));
}

// The shop's page: everything from the binary itself, and the browser
// told to fetch nothing from anywhere else.
void Api::PageFile(const http::Request& request, std::int64_t, const http::Reply& reply) {
  struct File {
    const char* path;
    const char* asset;  // nullptr: the slip's style sheet
    const char* type;
  };
  static constexpr File kFiles[] = {
      {"/", "page/index.html", "text/html; charset=utf-8"},
      {"/app.js", "page/app.js", "text/javascript; charset=utf-8"},
      {"/style.css", "page/style.css", "text/css; charset=utf-8"},
      {"/slip.css", nullptr, "text/css; charset=utf-8"},
      {"/icon.svg", "page/icon.svg", "image/svg+xml"},
  };
  for (const File& f : kFiles) {
    if (request.path != f.path) continue;
    http::Response r;
    r.content_type = f.type;
    r.body = f.asset != nullptr ? std::string(Asset(f.asset)) : std::string(SlipCss());
    r.Set("Content-Security-Policy",
          "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
          "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'");
    r.Set("X-Content-Type-Options", "nosniff");
    r.Set("Referrer-Policy", "no-referrer");
    r.Set("Cache-Control", "no-cache");
    return reply(std::move(r));
  }
  reply(Problem(404, "no such resource: " + request.path));
}

void Api::Metrics(const http::Request&, std::int64_t, const http::Reply& reply) {
  std::map<State, std::int64_t> counts;
  if (Status s = journal_.CountByState(&counts); !s.ok()) return reply(Problem(503, s.message()));
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
  if (broker_ != nullptr) {
    const BrokerState b = broker_->State();
    text += "# HELP fiskald_broker_connected Whether the broker connection is up (1) or not (0).\n"
            "# TYPE fiskald_broker_connected gauge\n"
            "fiskald_broker_connected " + std::string(b.connected ? "1" : "0") + "\n"
            "# HELP fiskald_broker_errors_total Connections and subscriptions the broker refused or lost.\n"
            "# TYPE fiskald_broker_errors_total counter\n"
            "fiskald_broker_errors_total " + std::to_string(b.errors) + "\n"
            "# HELP fiskald_broker_answers_waiting Answers stored and not yet taken by the broker.\n"
            "# TYPE fiskald_broker_answers_waiting gauge\n"
            "fiskald_broker_answers_waiting " + std::to_string(b.answers_waiting) + "\n";
    text += "# HELP fiskald_broker_refusals_total Refusals by the broker, by step (connect, "
            "subscribe, publish) and MQTT reason code.\n"
            "# TYPE fiskald_broker_refusals_total counter\n";
    for (const auto& [key, count] : b.refusals) {
      char code[8];
      std::snprintf(code, sizeof code, "0x%02X", key.second);
      text += "fiskald_broker_refusals_total{step=\"" + std::string(StepName(key.first)) +
              "\",code=\"" + code + "\"} " + std::to_string(count) + "\n";
    }
  }
  text += "# HELP fiskald_queue_length Receipts queued or being sent, per port.\n"
          "# TYPE fiskald_queue_length gauge\n";
  const std::vector<PrinterStatus> printers = printers_.Snapshot();
  for (const PrinterStatus& p : printers) {
    text += "fiskald_queue_length{port=\"" + std::to_string(p.port) + "\"} " +
            std::to_string(p.queued + (p.sending ? 1 : 0)) + "\n";
  }
  const std::int64_t now_ms = journal_.NowMs();
  text += "# HELP fiskald_port_waiting Receipts held for their port (it cannot be opened or "
          "another run holds it), per port.\n"
          "# TYPE fiskald_port_waiting gauge\n";
  std::string held_for;
  for (const PrinterStatus& p : printers) {
    const std::string label = "{port=\"" + std::to_string(p.port) + "\"} ";
    text += "fiskald_port_waiting" + label + std::to_string(p.waiting) + "\n";
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f",
                  p.waiting_since_ms != 0 ? static_cast<double>(now_ms - p.waiting_since_ms) / 1000
                                          : 0.0);
    held_for += "fiskald_port_waiting_seconds" + label + seconds + "\n";
  }
  text += "# HELP fiskald_port_waiting_seconds How long the port's oldest held receipt has "
          "waited (0: none waits).\n"
          "# TYPE fiskald_port_waiting_seconds gauge\n" + held_for;
  double sum = 0;
  std::uint64_t count = 0;
  printers_.SendTimes(&sum, &count);
  char seconds[64];
  std::snprintf(seconds, sizeof seconds, "%.6f", sum);
  text += "# HELP fiskald_send_seconds Time from taking a receipt off its queue to its end.\n"
          "# TYPE fiskald_send_seconds summary\n"
          "fiskald_send_seconds_sum " + std::string(seconds) + "\n" +
          "fiskald_send_seconds_count " + std::to_string(count) + "\n";
  http::Response r;
  r.content_type = "text/plain; version=0.0.4; charset=utf-8";
  r.body = std::move(text);
  reply(std::move(r));
}

void Api::PostReceipt(const http::Request& request, std::int64_t, const http::Reply& reply) {
  Submission submission;
  submission.key = std::string(request.Header("Idempotency-Key"));
  submission.json = MediaType(request.Header("Content-Type")) == "application/json";
  submission.body = request.body;
  const Outcome outcome = intake_.Submit(submission);
  if (!outcome.stored()) return reply(Problem(outcome.status, outcome.detail, outcome.extra));
  AnswerReceipt(outcome.id, WaitOf(request), outcome.status, outcome.status == 200, reply);
}

// A page of the list, newest first: up to `limit` receipts, and no more
// than fit in limits_.listed_bytes (the first always, however large), each
// read from the journal and written out in turn, so that a page's
// receipts are never all in memory at once. When older ones follow,
// "next" holds the path and query of the page that begins with them.
void Api::ListReceipts(const http::Request& request, std::int64_t, const http::Reply& reply) {
  std::optional<State> state;
  if (auto s = request.Query("state")) state = ParseState(*s);
  int limit = limits_.listed_by_default;
  if (auto l = request.Query("limit")) limit = Whole(*l, 1, limits_.max_listed).value_or(limit);
  std::int64_t before = 0;
  if (auto b = request.Query("before")) Matches("{id}", *b, &before);
  std::string body = "{\"receipts\":[";
  std::int64_t last = 0;
  bool more = false;
  const Status s = journal_.List(
      state, before, limit,
      [&](StoredReceipt&& r) {
        std::string one = Dump(ReceiptJson(r));
        if (last != 0 && body.size() + one.size() + 1 > limits_.listed_bytes) return false;
        if (last != 0) body += ',';
        body += one;
        last = r.id;
        return true;
      },
      &more);
  if (!s.ok()) return reply(Problem(503, s.message()));
  Json next = nullptr;
  if (more) {
    next = "/v1/receipts?before=" + std::to_string(last) + "&limit=" + std::to_string(limit) +
           (state ? "&state=" + std::string(StateName(*state)) : std::string());
  }
  body += "],\"next\":" + Dump(next) + "}";
  http::Response answer;
  answer.content_type = "application/json";
  answer.body = std::move(body);
  reply(std::move(answer));
}

void Api::GetReceipt(const http::Request& request, std::int64_t id, const http::Reply& reply) {
  if (!Load(id, reply)) return;
  AnswerReceipt(id, WaitOf(request), 200, false, reply);
}

void Api::Transcript(const http::Request&, std::int64_t id, const http::Reply& reply) {
  const std::optional<StoredReceipt> r = Load(id, reply);
  if (!r) return;
  http::Response answer;
  answer.content_type = "application/octet-stream";
  answer.body = TranscriptOf(*r);
  reply(std::move(answer));
}

// The receipt drawn as the printer prints it (every text, sent or not).
void Api::Slip(const http::Request&, std::int64_t id, const http::Reply& reply) {
  const std::optional<StoredReceipt> r = Load(id, reply);
  if (!r) return;
  std::vector<RawText> texts;
  for (const JournalText& t : r->texts) texts.push_back({t.bytes, 0});
  http::Response answer;
  answer.content_type = "text/html; charset=utf-8";
  answer.body = SlipHtml(CheckReceipt(texts));
  reply(std::move(answer));
}

void Api::Resolve(const http::Request& request, std::int64_t id, const http::Reply& reply) {
  // A decision has one member, "printed", a single value: anything else is
  // refused where it begins, unread.
  struct Decision : JsonShape {
    bool refused = false;
    std::optional<std::string> Begin(const std::vector<JsonStep>& path, JsonKind kind) override {
      const bool fits = path.empty() ? kind == JsonKind::kObject
                                     : path.size() == 1 && path[0].name == "printed" &&
                                           kind == JsonKind::kScalar;
      if (fits) return std::nullopt;
      refused = true;
      return "not a decision";
    }
  } decision;
  nlohmann::json body;
  std::optional<std::string> malformed = ParseStrictJson(request.body, &body, &decision);
  if (decision.refused) malformed.reset();
  if (malformed || decision.refused || !body.is_object() || body.size() != 1 ||
      !body.contains("printed") || !body.at("printed").is_boolean()) {
    return reply(Problem(400, (malformed ? *malformed + "; " : std::string()) +
                                  "the body must be {\"printed\": true} or {\"printed\": false}"));
  }
  bool found = false, conflict = false;
  if (Status s = journal_.Resolve(id, body.at("printed").get<bool>(), &found, &conflict); !s.ok()) {
    return reply(Problem(503, s.message()));
  }
  if (!found) return reply(Problem(404, "there is no receipt " + std::to_string(id)));
  std::optional<StoredReceipt> r;
  if (Status s = journal_.Get(id, &r); !s.ok() || !r) return reply(Problem(503, s.message()));
  if (conflict) {
    return reply(Problem(409, "receipt " + std::to_string(id) + " is " +
                                  std::string(StateName(r->state)) +
                                  "; only a receipt in_doubt or cut is resolved",
                         {{"state", StateName(r->state)}}));
  }
  reply(JsonAnswer(200, ReceiptJson(*r)));
}

void Api::ListPrinters(const http::Request&, std::int64_t, const http::Reply& reply) {
  reply(JsonAnswer(200, {{"printers", PrintersJson(printers_.Snapshot())}}));
}

void Api::GiveUp(const http::Request& request, std::int64_t port, const http::Reply& reply) {
  if (!request.body.empty()) {
    return reply(Problem(400, "give-up takes no body: POST /v1/printers/" +
                                  std::to_string(port) + "/give-up alone"));
  }
  bool configured = false;
  for (const PrinterStatus& p : printers_.Snapshot()) configured = configured || p.port == port;
  if (!configured) {
    return reply(Problem(404, "port " + std::to_string(port) +
                                  " is not configured (FISKAL_COM" + std::to_string(port) +
                                  " or --port)"));
  }
  std::size_t given_up = 0;
  if (!printers_.GiveUp(static_cast<int>(port), &given_up)) {
    return reply(Problem(409, "no receipt waits for port " + std::to_string(port) + " now"));
  }
  reply(JsonAnswer(200, {{"given_up", given_up}}));
}

void Api::BrokerConnection(const http::Request&, std::int64_t, const http::Reply& reply) {
  if (broker_ == nullptr) {
    return reply(JsonAnswer(200, {{"url", nullptr},
                                  {"shop", nullptr},
                                  {"connected", false},
                                  {"since", nullptr},
                                  {"last_error", nullptr},
                                  {"session_expiry_asked", nullptr},
                                  {"session_expiry_granted", nullptr}}));
  }
  const BrokerState b = broker_->State();
  reply(JsonAnswer(200, {{"url", b.url},
                         {"shop", b.shop},
                         {"connected", b.connected},
                         {"since", b.since_ms > 0 ? Json(Rfc3339(b.since_ms)) : Json(nullptr)},
                         {"last_error", b.last_error.empty() ? Json(nullptr) : Json(b.last_error)},
                         {"session_expiry_asked", b.session_expiry_asked},
                         {"session_expiry_granted", b.session_expiry_granted
                                                        ? Json(*b.session_expiry_granted)
                                                        : Json(nullptr)}}));
}

}  // namespace fiskal::service

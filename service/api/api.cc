// The route table of the API and its dispatch: every route fiskald serves,
// which route a request takes, what is refused before its body is read
// (Admit: access, an unknown path or method, the query, a receipt's or a
// decision's content type, the Idempotency-Key) and the call of the
// route's answer. The answers are handlers.cc, metrics.cc and
// page_files.cc.
#include "service/api/api.h"

#include <atomic>
#include <charconv>
#include <memory>
#include <nlohmann/json.hpp>

#include "service/api/resource.h"
#include "service/api/routing.h"
#include "service/intake/receipt_form.h"

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

http::Response Problem(int status, const std::string& detail, const Json& extra) {
  http::Response r = ProblemAnswer(status, detail, extra);
  if (status == 503) r.Set("Retry-After", kRetrySeconds);
  return r;
}

int WaitOf(const http::Request& request) {
  const auto wait = request.Query("wait");
  return wait ? Whole(*wait, 0, 1 << 30).value_or(0) : 0;
}

namespace {

bool Takes(const char* query, std::string_view name) {
  std::string_view list(query);
  while (!list.empty()) {
    const std::size_t space = list.find(' ');
    if (list.substr(0, space) == name) return true;
    list = space == std::string_view::npos ? std::string_view() : list.substr(space + 1);
  }
  return false;
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

std::optional<http::Response> Api::BodyMissing(const Route& route) {
  if (route.answer == &Api::PostReceipt) {
    return Problem(400,
                   "a receipt is posted with a body and an Idempotency-Key: Content-Type: "
                   "application/json and a receipt such as {\"port\": 1, \"items\": [{\"name\": "
                   "\"ROLL\", \"tax\": \"1\", \"quantity\": \"1\", \"price\": \"0.50\"}]}, "
                   "or Content-Type: text/plain and the lines of a fiskal.txt");
  }
  if (route.answer == &Api::Resolve) {
    return Problem(400,
                   "a decision is posted with a body: Content-Type: application/json and "
                   "{\"printed\": true} when the receipt came out of the printer whole, "
                   "{\"printed\": false} when it did not");
  }
  return std::nullopt;
}

std::optional<http::Response> Api::Admit(const http::Request& head) {
  const std::vector<http::Field> cors = CorsFields(rules_, head);
  // Every refusal here is told to the log (RefusalLog keeps it brief),
  // by its kind: the check that refused.
  const char* kind = "";
  auto told = [&](http::Response r) {
    if (refusals_ != nullptr && r.status >= 400) {
      const Json problem = Json::parse(r.body, nullptr, false);
      const std::string detail = problem.is_object() && problem.contains("detail") &&
                                         problem["detail"].is_string()
                                     ? problem["detail"].get<std::string>()
                                     : std::string();
      refusals_->Refused(head.client, r.status, kind, head.method + " " + head.target, detail);
    }
    return std::optional<http::Response>(std::move(r));
  };
  auto refuse = [&](http::Response r) {
    for (const http::Field& f : cors) r.fields.push_back(f);
    return told(std::move(r));
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
      kind = refusal->kind;
      return told(Problem(refusal->status, refusal->detail));
    }
    return refuse(PreflightAnswer());
  }
  if (auto refusal = CheckAccess(rules_, head, /*needs_token=*/!open)) {
    kind = refusal->kind;
    http::Response r = Problem(refusal->status, refusal->detail);
    for (http::Field& f : refusal->fields) r.fields.push_back(std::move(f));
    return refuse(std::move(r));
  }
  std::int64_t id = 0;
  const Route* route = Find(head, &id);
  kind = "path";  // an unknown path, whichever: a scanner's tries are one kind
  if (!known) return refuse(Problem(404, "no such resource: " + head.method + " " + head.path));
  // Past here, each route's refusals are a kind of their own.
  kind = route != nullptr ? route->path : "method";
  if (route == nullptr) {
    http::Response r = Problem(405, head.method + " is not served for " + head.path +
                                        "; it takes " + allow);
    r.Set("Allow", allow);
    return refuse(std::move(r));
  }
  if (auto p = CheckQuery(head, route->query, limits_)) return refuse(*p);
  if (!head.has_body) {
    if (auto p = BodyMissing(*route)) return refuse(*p);
  }

  if (route->answer == &Api::PostReceipt) {
    bool json = false;
    if (auto problem = ReceiptFormOf(head.Header("Content-Type"), kPosted, &json)) {
      return refuse(Problem(problem->http_status, problem->detail));
    }
    const std::string_view key = head.Header("Idempotency-Key");
    if (!ValidKey(key)) {
      return refuse(Problem(
          400, key.empty() ? "the header Idempotency-Key is required: a fresh key for each "
                             "receipt, the same key when a request is retried"
                           : "Idempotency-Key must be 1 to 255 visible ASCII characters"));
    }
  }
  if (route->answer == &Api::Resolve &&
      MediaTypeOf(head.Header("Content-Type")) != "application/json") {
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
  if (request.body.empty()) {  // chunked, its one chunk empty
    if (auto p = BodyMissing(*route)) return once(*p);
  }
  try {
    (this->*(route->answer))(request, id, once);
  } catch (const std::exception&) {
    once(Problem(500, "the service failed to answer this request"));
  }
}

http::Response Api::Refusal(int status, const std::string& detail, const std::string& client) {
  if (refusals_ != nullptr) refusals_->Refused(client, status, "front door", "", detail);
  return Problem(status, detail);
}

}  // namespace fiskal::service

#include "service/http/checks.h"

#include <algorithm>

namespace fiskal::service::http {

namespace {

// Fields RFC 9110 (and the Idempotency-Key draft) define as one value: two
// of them are two readings of one request.
constexpr std::string_view kOnce[] = {"Host",          "Content-Length", "Transfer-Encoding",
                                      "Content-Type",  "Authorization",  "Origin",
                                      "Idempotency-Key", "Expect"};

// Methods whose requests carry no body here.
constexpr std::string_view kBodiless[] = {"GET", "HEAD", "OPTIONS", "DELETE", "TRACE"};

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) { return SameName(a, b); }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> PercentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = HexDigit(text[i + 1]);
    const int low = HexDigit(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

Refusal Bad(std::string detail) { return {400, std::move(detail)}; }

}  // namespace

std::optional<Refusal> ParseTarget(std::string_view target, std::string* path,
                                   std::vector<std::pair<std::string, std::string>>* query) {
  if (target.empty() || target.front() != '/') {
    return Bad("the request target must be a path such as /v1/receipts, not \"" +
               std::string(target.substr(0, 64)) + "\"");
  }
  const std::size_t mark = target.find('?');
  *path = std::string(target.substr(0, mark));
  query->clear();
  if (mark == std::string_view::npos) return std::nullopt;
  std::string_view rest = target.substr(mark + 1);
  while (!rest.empty()) {
    const std::size_t amp = rest.find('&');
    const std::string_view part = rest.substr(0, amp);
    rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
    if (part.empty()) continue;
    const std::size_t eq = part.find('=');
    const auto name = PercentDecode(part.substr(0, eq));
    const auto value =
        PercentDecode(eq == std::string_view::npos ? std::string_view() : part.substr(eq + 1));
    if (!name || !value) return Bad("the query holds a malformed %-escape");
    for (const auto& [seen, ignored] : *query) {
      if (seen == *name) return Bad("the query parameter " + *name + " is given twice");
    }
    query->emplace_back(*name, *value);
  }
  return std::nullopt;
}

std::optional<Refusal> CheckHead(int version, const Limits& limits, Request* head,
                                 Framing* framing) {
  *framing = Framing{};
  if (version != 10 && version != 11) {
    return Refusal{505, "fiskald speaks HTTP/1.1 (and HTTP/1.0)"};
  }
  if (head->target.size() > limits.target_bytes) {
    return Refusal{414, "the request target is longer than " +
                            std::to_string(limits.target_bytes) + " bytes"};
  }
  if (head->fields.size() > limits.header_lines) {
    return Refusal{431, "the header has more than " + std::to_string(limits.header_lines) +
                            " fields"};
  }
  for (std::string_view name : kOnce) {
    const auto n = std::count_if(head->fields.begin(), head->fields.end(),
                                 [&](const Field& f) { return SameName(f.name, name); });
    if (n > 1) return Bad("the header has " + std::string(name) + " more than once");
  }
  if (version == 11 && !head->HasHeader("Host")) {
    return Bad("an HTTP/1.1 request needs a Host field");
  }

  const bool has_te = head->HasHeader("Transfer-Encoding");
  const bool has_length = head->HasHeader("Content-Length");
  if (has_te) {
    if (version == 10) return Bad("Transfer-Encoding is not part of HTTP/1.0");
    if (has_length) return Bad("the header has both Content-Length and Transfer-Encoding");
    if (!EqualsIgnoringCase(Trim(head->Header("Transfer-Encoding")), "chunked")) {
      return Bad("the only transfer coding taken is \"chunked\", alone, not \"" +
                 std::string(head->Header("Transfer-Encoding")) + "\"");
    }
    framing->chunked = true;
  } else if (has_length) {
    const std::string_view text = Trim(head->Header("Content-Length"));
    if (text.empty() || text.size() > 18 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      return Bad("Content-Length must be one number of digits, not \"" +
                 std::string(head->Header("Content-Length")) + "\"");
    }
    for (char c : text) framing->length = framing->length * 10 + static_cast<unsigned>(c - '0');
  }

  const bool bodiless = std::find(std::begin(kBodiless), std::end(kBodiless), head->method) !=
                        std::end(kBodiless);
  if (bodiless && framing->has_body()) {
    return Bad("a " + head->method + " request carries no body");
  }
  // A request with neither field has no body (RFC 9112 section 6.3): a
  // POST such as give-up is whole once its header has come.
  if (framing->length > limits.body_bytes) {
    return Refusal{413, "the body holds at most " + std::to_string(limits.body_bytes) + " bytes"};
  }
  if (head->HasHeader("Expect") &&
      !EqualsIgnoringCase(Trim(head->Header("Expect")), "100-continue")) {
    return Refusal{417, "the only expectation met is \"100-continue\""};
  }
  head->has_body = framing->has_body();
  return ParseTarget(head->target, &head->path, &head->query);
}

}  // namespace fiskal::service::http

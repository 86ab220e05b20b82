// Arbitrary bytes as a request's header: the HTTP library's parser and
// fiskald's own checks never crash, and whenever both take a header they
// read its body's framing alike (chunked or not, and the same length):
// two readings of one request is what lets a request hide in another.

#include <boost/beast/http.hpp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "service/http/checks.h"

namespace {

// The front door's bounds, with a body bound as fiskald sets it.
const fiskal::service::http::Limits kLimits = [] {
  fiskal::service::http::Limits limits;
  limits.body_bytes = std::size_t{1} << 20;
  return limits;
}();

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace http = boost::beast::http;
  using namespace fiskal::service::http;
  http::request_parser<http::string_body> parser;
  parser.header_limit(64 * 1024);
  boost::beast::error_code ec;
  parser.put(boost::asio::const_buffer(data, size), ec);
  if (ec || !parser.is_header_done()) return 0;
  const auto& message = parser.get();
  Request head;
  head.method = std::string(message.method_string());
  head.target = std::string(message.target());
  for (const auto& field : message) {
    head.fields.push_back({std::string(field.name_string()), std::string(field.value())});
  }
  Framing framing;
  if (CheckHead(static_cast<int>(message.version()), kLimits, &head, &framing)) return 0;
  const std::uint64_t beast_length = parser.content_length().value_or(0);
  if (framing.chunked != parser.chunked() || (!framing.chunked && framing.length != beast_length)) {
    std::fprintf(stderr, "two readings: checks say chunked=%d length=%llu, the parser %d %llu\n",
                 framing.chunked, static_cast<unsigned long long>(framing.length),
                 parser.chunked(), static_cast<unsigned long long>(beast_length));
    std::abort();
  }
  return 0;
}

// The files the API serves from the binary itself: its OpenAPI
// description and the shop's page (its HTML, script, style sheets and
// icon, and the slip's style sheet), each page file with the fields that
// keep the browser from fetching anything from anywhere else.
#include "printer/slip.h"
#include "service/api/api.h"
#include "service/api/assets.h"
#include "service/api/routing.h"

namespace fiskal::service {

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

}  // namespace fiskal::service

#include "service/http/http.h"

namespace fiskal::service::http {

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

std::string_view Request::Header(std::string_view name) const {
  for (const Field& f : fields) {
    if (SameName(f.name, name)) return f.value;
  }
  return {};
}

bool Request::HasHeader(std::string_view name) const {
  for (const Field& f : fields) {
    if (SameName(f.name, name)) return true;
  }
  return false;
}

std::optional<std::string_view> Request::Query(std::string_view name) const {
  for (const auto& [n, v] : query) {
    if (n == name) return std::string_view(v);
  }
  return std::nullopt;
}

}  // namespace fiskal::service::http

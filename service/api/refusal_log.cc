#include "service/api/refusal_log.h"

#include <iterator>

namespace fiskal::service {

void RefusalLog::Refused(const std::string& client, int status, std::string_view kind,
                         std::string_view request, const std::string& detail) {
  const double now = clock_.Now();
  const std::string key = client + " " + std::to_string(status) + " " + std::string(kind);
  std::uint64_t unsaid = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = said_.find(key);
    if (it != said_.end() && now - it->second.at < kQuietSeconds) {
      ++it->second.unsaid;
      return;
    }
    if (it == said_.end()) {
      if (said_.size() >= kRemembered) {
        // The kinds that are quiet again are forgotten; else the oldest.
        for (auto i = said_.begin(); i != said_.end();) {
          i = now - i->second.at >= kQuietSeconds ? said_.erase(i) : std::next(i);
        }
        if (said_.size() >= kRemembered) {
          auto oldest = said_.begin();
          for (auto i = said_.begin(); i != said_.end(); ++i) {
            if (i->second.at < oldest->second.at) oldest = i;
          }
          said_.erase(oldest);
        }
      }
      it = said_.emplace(key, Said{}).first;
    }
    unsaid = it->second.unsaid;
    it->second = Said{now, 0};
  }
  std::string line = "refused a request from " + client;
  if (!request.empty()) line += " (" + std::string(request.substr(0, 200)) + ")";
  line += ": " + std::to_string(status) + " " + detail;
  if (unsaid > 0) {
    line += " [" + std::to_string(unsaid) + " more like it from this client since the last line]";
  }
  log_(line);
}

}  // namespace fiskal::service

// The lines fiskald's log gets about the requests it refuses (the front
// door's refusals, and the API's before a request's body is read: access,
// an unknown path or method, the query, the content type, the key, a
// missing body), decided here only: at most one line per kind of refusal
// and client a minute, by the clock it is given, and the next line of that
// kind counts the ones left unsaid. So an administrator sees why a page
// fails (a browser shows a refused preflight as a bare CORS error), and a
// client that repeats its request cannot fill the log.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "line/clock.h"

namespace fiskal::service {

class RefusalLog {
 public:
  // A kind's next line comes this long after its last one at the earliest.
  static constexpr double kQuietSeconds = 60;
  // Kinds and clients remembered at most (past them, the oldest are
  // forgotten first).
  static constexpr std::size_t kRemembered = 1024;

  RefusalLog(Clock& clock, std::function<void(const std::string&)> log)
      : clock_(clock), log_(std::move(log)) {}

  // A request from `client` (its address) refused with `status`; `kind`
  // tells refusals of one status apart ("origin", "host", a route's
  // path, ...);
  // `request` is its method and target when they are known, else empty.
  void Refused(const std::string& client, int status, std::string_view kind,
               std::string_view request, const std::string& detail);

 private:
  struct Said {
    double at = 0;            // the clock's time of the last line
    std::uint64_t unsaid = 0;  // refusals since that line
  };
  Clock& clock_;
  const std::function<void(const std::string&)> log_;
  std::mutex mu_;
  std::map<std::string, Said> said_;  // by client, status and kind
};

}  // namespace fiskal::service

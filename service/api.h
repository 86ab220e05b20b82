// The HTTP API of fiskald, on a cpp-httplib server.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "service/access.h"
#include "service/journal.h"
#include "service/printers.h"
#include "service/shutdown.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}

namespace fiskal::service {

struct ApiLimits {
  std::size_t max_body = std::size_t{1} << 20;  // 1 MiB
  std::size_t max_queued_per_port = 10000;
  int max_wait_seconds = 300;
  int max_waiting = 32;  // requests waiting at once (?wait=S); more answer at once
};

class Api {
 public:
  Api(Journal& journal, Printers& printers, PortAccess& ports, Shutdown& shutdown,
      AccessRules rules, ApiLimits limits = {});

  // Routes every endpoint on `server`, with the checks of who may ask.
  // `rules().listen.port` must be the bound port before requests come.
  void Install(httplib::Server& server);
  AccessRules& rules() { return rules_; }

 private:
  struct Answer;
  Answer PostReceipt(const std::string& key, const std::string& content_type,
                     const std::string& body, int wait);
  void Wait(std::int64_t id, int seconds);
  // The receipt of the request's path; false after answering 404 (no such
  // receipt) or 503 (the journal failed).
  bool LoadReceipt(const httplib::Request& req, httplib::Response& res,
                   std::optional<StoredReceipt>* receipt);

  Journal& journal_;
  Printers& printers_;
  PortAccess& ports_;
  Shutdown& shutdown_;
  AccessRules rules_;
  ApiLimits limits_;

  std::mutex keys_mu_;
  std::set<std::string> keys_in_flight_;
  std::atomic<int> waiting_{0};
};

}  // namespace fiskal::service

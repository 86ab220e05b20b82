// The HTTP API of fiskald: its routes (the table in api.cc, which
// openapi.json describes), who may call each (access.h), and what each
// answers. It is served through the front door of service/http, which it
// knows by its interface only. The bounds of its own query parameters are
// ApiLimits, below.
//
// The class is defined across files: api.cc (the route table and the
// dispatch), handlers.cc (receipts, printers, decisions, the service's
// state), metrics.cc (/metrics), page_files.cc (the files served from the
// binary); routing.h is what they share.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "service/api/access.h"
#include "service/api/refusal_log.h"
#include "service/broker/broker_rules.h"
#include "service/http/http.h"
#include "service/intake/intake.h"
#include "service/journal/journal.h"
#include "service/printers/printers.h"
#include "service/shutdown.h"
#include "service/api/waits.h"

namespace fiskal::service {

// The bounds of the API's own query parameters, enforced in api.cc (the
// bounds of a request as such are the front door's, service/http/limits.h;
// the queue's and a receipt body's are Intake's, service/intake/intake.h).
struct ApiLimits {
  int max_wait_seconds = 300;  // ?wait=S, 0 to this
  int max_listed = 1000;       // ?limit=N, 1 to this
  int listed_by_default = 50;  // without ?limit
  // A page of GET /v1/receipts holds no more bytes than this (its first
  // receipt excepted): the rest is on the page its "next" names.
  std::size_t listed_bytes = std::size_t{4} << 20;
};

class Api : public http::Handler {
 public:
  Api(Journal& journal, Intake& intake, Printers& printers, Shutdown& shutdown, Waits& waits,
      AccessRules rules, ApiLimits limits = {});
  // The broker connection GET /v1/broker and /metrics show; none without
  // --broker.
  void SetBroker(BrokerStatus* broker) { broker_ = broker; }
  // Where the requests refused before their body is read are told; none:
  // they are not.
  void SetRefusalLog(RefusalLog* refusals) { refusals_ = refusals; }

  std::optional<http::Response> Admit(const http::Request& head) override;
  void Handle(http::Request request, http::Reply reply) override;
  http::Response Refusal(int status, const std::string& detail,
                         const std::string& client) override;

  // `rules().listen.port` must be the bound port before requests come.
  AccessRules& rules() { return rules_; }

  struct Route;

 private:
  using Answer = void (Api::*)(const http::Request&, std::int64_t id, const http::Reply&);
  static const Route kRoutes[];

  // The route of a request, and the receipt id its path names.
  const Route* Find(const http::Request& request, std::int64_t* id) const;
  // For a route that takes a body (a receipt, a decision), the 400 problem
  // for a request without one, which says what to send; nothing for the
  // others.
  static std::optional<http::Response> BodyMissing(const Route& route);

  void Healthz(const http::Request&, std::int64_t, const http::Reply& reply);
  void Readyz(const http::Request&, std::int64_t, const http::Reply& reply);
  void OpenApi(const http::Request&, std::int64_t, const http::Reply& reply);
  void PageFile(const http::Request& request, std::int64_t, const http::Reply& reply);
  void Metrics(const http::Request&, std::int64_t, const http::Reply& reply);
  void PostReceipt(const http::Request& request, std::int64_t, const http::Reply& reply);
  void ListReceipts(const http::Request& request, std::int64_t, const http::Reply& reply);
  void GetReceipt(const http::Request& request, std::int64_t id, const http::Reply& reply);
  void Transcript(const http::Request&, std::int64_t id, const http::Reply& reply);
  void Slip(const http::Request&, std::int64_t id, const http::Reply& reply);
  void Resolve(const http::Request& request, std::int64_t id, const http::Reply& reply);
  void ListPrinters(const http::Request&, std::int64_t, const http::Reply& reply);
  void GiveUp(const http::Request& request, std::int64_t port, const http::Reply& reply);
  void BrokerConnection(const http::Request&, std::int64_t, const http::Reply& reply);

  // Answers with receipt `id` as the journal has it, once it is final or
  // `wait` seconds passed (or fiskald begins to stop); `status` 201 adds
  // Location, 200 with `replayed` adds Idempotent-Replayed.
  void AnswerReceipt(std::int64_t id, int wait, int status, bool replayed,
                     const http::Reply& reply);
  // The receipt, or the answer (404, 503) that says why there is none.
  std::optional<StoredReceipt> Load(std::int64_t id, const http::Reply& reply);

  Journal& journal_;
  Intake& intake_;
  Printers& printers_;
  Shutdown& shutdown_;
  Waits& waits_;
  AccessRules rules_;
  ApiLimits limits_;
  BrokerStatus* broker_ = nullptr;
  RefusalLog* refusals_ = nullptr;
};

}  // namespace fiskal::service

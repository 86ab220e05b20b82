// The broker client on Windows: not there. The MQTT library it stands on
// is built for Linux only, so fiskald on Windows takes receipts over HTTP
// alone, and --broker is refused when the service starts.

#include "service/broker/broker.h"

namespace fiskal::service {

struct Broker::Impl {};

Status Broker::Start(BrokerOptions options, Journal&, Intake&, Printers&,
                     std::unique_ptr<Broker>*) {
  return Status::Error("--broker " + options.url +
                       ": this fiskald has no broker client (the Windows build takes receipts "
                       "over HTTP only)");
}

Broker::Broker(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Broker::~Broker() = default;
BrokerState Broker::State() { return {}; }
void Broker::PrintersChanged() {}
void Broker::OutboxChanged() {}
void Broker::Stop(double) {}

}  // namespace fiskal::service

// The broker client of a build without Paho's MQTT library: a Windows
// build whose library could not be made from Debian's source
// (cmake/windows-libraries.cmake says so when configuring). fiskald then
// takes receipts over HTTP alone, and --broker is refused when the service
// starts, with FISKAL_NO_BROKER_WHY, the reason the build gives.

#include "service/broker/broker.h"

namespace fiskal::service {

struct Broker::Impl {};

Status Broker::Start(BrokerOptions options, Journal&, Intake&, Printers&,
                     std::unique_ptr<Broker>*) {
  return Status::Error("--broker " + options.url + ": this fiskald has no broker client (" +
                       FISKAL_NO_BROKER_WHY + "); it takes receipts over HTTP only");
}

Broker::Broker(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Broker::~Broker() = default;
BrokerState Broker::State() { return {}; }
void Broker::PrintersChanged() {}
void Broker::OutboxChanged() {}
void Broker::Stop(double) {}

}  // namespace fiskal::service

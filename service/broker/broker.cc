// The broker client's own functions (Broker, as fiskald sees it), and
// how the client logs and counts its failures. Its other steps are in
// paho.cc, arrival.cc and pump.cc (see broker_impl.h).
#include "service/broker/broker.h"

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

#include "service/broker/broker_impl.h"
#include "service/documents.h"

namespace fiskal::service {

using Clock = std::chrono::steady_clock;

std::int64_t WallMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

namespace {

// The subject of the client certificate in `file` (CN=...), for the
// messages; the file's name when it cannot be read.
std::string CertificateSubject(const std::string& file) {
  std::FILE* f = std::fopen(file.c_str(), "r");
  if (f == nullptr) return file;
  X509* cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  if (cert == nullptr) return file;
  char cn[256];
  const int n = X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn,
                                          sizeof cn);
  X509_free(cert);
  return n > 0 ? "CN=" + std::string(cn, static_cast<std::size_t>(n)) + " (" + file + ")" : file;
}

}  // namespace

void Broker::Impl::Log(const std::string& line) {
  if (options.log) options.log(line);
}

// Records a failure; it is logged when it differs from the last one,
// so that trying again and again says it once.
void Broker::Impl::Failed(const std::string& error) {
  bool changed = false;
  {
    std::lock_guard<std::mutex> lock(mu);
    ++errors;
    changed = error != last_error;
    last_error = error;
  }
  if (changed) Log("broker " + options.url + ": " + error);
}

std::int64_t Broker::Impl::SessionAsked() const {
  return std::int64_t{options.session_days} * 24 * 3600;
}

Broker::Broker(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Status Broker::Start(BrokerOptions options, Journal& journal, Intake& intake, Printers& printers,
                     std::unique_ptr<Broker>* broker) {
  auto impl = std::make_unique<Impl>(std::move(options), journal, intake, printers);
  if (Status s = BrokerAddress(impl->options.url, &impl->address); !s.ok()) return s;
  impl->identity.client_id = ClientIdOf(impl->options.shop);
  impl->identity.user = impl->options.user;
  if (!impl->options.cert_file.empty()) {
    impl->identity.certificate = CertificateSubject(impl->options.cert_file);
  }
  // The library's word on the address and the id, at once (each attempt
  // makes a client of its own).
  if (Status s = impl->NewClient(); !s.ok()) return s;
  Impl* raw = impl.get();
  raw->thread = std::thread([raw] { raw->Run(); });
  broker->reset(new Broker(std::move(impl)));
  return Status::Ok();
}

Broker::~Broker() {
  Stop(0);
  impl_->Destroy();
}

BrokerState Broker::State() {
  BrokerState s;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    s.url = impl_->options.url;
    s.shop = impl_->options.shop;
    s.connected = impl_->connected;
    s.since_ms = impl_->since_ms;
    s.last_error = impl_->last_error;
    s.errors = impl_->errors;
    s.session_expiry_asked = impl_->SessionAsked();
    s.session_expiry_granted = impl_->session_granted;
    s.refusals = impl_->refusals;
  }
  (void)impl_->journal.OutboxSize(&s.answers_waiting);
  return s;
}

void Broker::PrintersChanged() {
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->presence_wanted = true;
  }
  impl_->wake.notify_all();
}

void Broker::OutboxChanged() {
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->outbox_changed = true;
  }
  impl_->wake.notify_all();
}

void Broker::Stop(double seconds) {
  Impl& i = *impl_;
  if (!i.thread.joinable()) return;
  // The outbox, as far as it goes in the time given.
  {
    std::unique_lock<std::mutex> lock(i.mu);
    i.outbox_changed = true;
    i.wake.notify_all();
    const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(seconds));
    while (i.connected && Clock::now() < until) {
      std::int64_t waiting = 0;
      lock.unlock();
      (void)i.journal.OutboxSize(&waiting);
      lock.lock();
      if (waiting == 0 && i.in_flight.empty()) break;
      i.wake.wait_until(lock, std::min(until, Clock::now() + std::chrono::milliseconds(100)));
    }
    i.stopping = true;
  }
  i.wake.notify_all();
  i.thread.join();
  bool connected = false;
  {
    std::lock_guard<std::mutex> lock(i.mu);
    connected = i.connected;
  }
  if (connected) {
    // Offline, said by fiskald itself: the Will goes out only when the
    // connection breaks.
    i.Publish(StatusTopic(i.options.shop), Dump({{"online", false}}), "application/json", "", "",
              true, 0);
    i.Disconnect();
  }
}

}  // namespace fiskal::service

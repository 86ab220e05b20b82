// The text of GET /metrics, in the exposition format scrapers read:
// receipts by state and in doubt, the broker connection, the queues and
// the ports' holds, and the time a receipt takes to send.
#include <cstdio>
#include <map>

#include "service/api/api.h"
#include "service/api/routing.h"

namespace fiskal::service {

void Api::Metrics(const http::Request&, std::int64_t, const http::Reply& reply) {
  std::map<State, std::int64_t> counts;
  if (Status s = journal_.CountByState(&counts); !s.ok()) return reply(Problem(503, s.message()));
  std::string text =
      "# HELP fiskald_receipts Receipts in the journal, by state.\n"
      "# TYPE fiskald_receipts gauge\n";
  for (const auto& [state, n] : counts) {
    text += "fiskald_receipts{state=\"" + std::string(StateName(state)) + "\"} " +
            std::to_string(n) + "\n";
  }
  text += "# HELP fiskald_receipts_in_doubt Receipts in doubt: each needs a person's word.\n"
          "# TYPE fiskald_receipts_in_doubt gauge\n"
          "fiskald_receipts_in_doubt " + std::to_string(counts[State::kInDoubt]) + "\n";
  if (broker_ != nullptr) {
    const BrokerState b = broker_->State();
    text += "# HELP fiskald_broker_connected Whether the broker connection is up (1) or not (0).\n"
            "# TYPE fiskald_broker_connected gauge\n"
            "fiskald_broker_connected " + std::string(b.connected ? "1" : "0") + "\n"
            "# HELP fiskald_broker_errors_total Connections and subscriptions the broker refused or lost.\n"
            "# TYPE fiskald_broker_errors_total counter\n"
            "fiskald_broker_errors_total " + std::to_string(b.errors) + "\n"
            "# HELP fiskald_broker_answers_waiting Answers stored and not yet taken by the broker.\n"
            "# TYPE fiskald_broker_answers_waiting gauge\n"
            "fiskald_broker_answers_waiting " + std::to_string(b.answers_waiting) + "\n";
    text += "# HELP fiskald_broker_refusals_total Refusals by the broker, by step (connect, "
            "subscribe, publish) and MQTT reason code.\n"
            "# TYPE fiskald_broker_refusals_total counter\n";
    for (const auto& [key, count] : b.refusals) {
      char code[8];
      std::snprintf(code, sizeof code, "0x%02X", key.second);
      text += "fiskald_broker_refusals_total{step=\"" + std::string(StepName(key.first)) +
              "\",code=\"" + code + "\"} " + std::to_string(count) + "\n";
    }
  }
  text += "# HELP fiskald_queue_length Receipts queued or being sent, per port.\n"
          "# TYPE fiskald_queue_length gauge\n";
  const std::vector<PrinterStatus> printers = printers_.Snapshot();
  for (const PrinterStatus& p : printers) {
    text += "fiskald_queue_length{port=\"" + std::to_string(p.port) + "\"} " +
            std::to_string(p.queued + (p.sending ? 1 : 0)) + "\n";
  }
  const std::int64_t now_ms = journal_.NowMs();
  text += "# HELP fiskald_port_waiting Receipts held for their port (it cannot be opened or "
          "another run holds it), per port.\n"
          "# TYPE fiskald_port_waiting gauge\n";
  std::string held_for;
  for (const PrinterStatus& p : printers) {
    const std::string label = "{port=\"" + std::to_string(p.port) + "\"} ";
    text += "fiskald_port_waiting" + label + std::to_string(p.waiting) + "\n";
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f",
                  p.waiting_since_ms != 0 ? static_cast<double>(now_ms - p.waiting_since_ms) / 1000
                                          : 0.0);
    held_for += "fiskald_port_waiting_seconds" + label + seconds + "\n";
  }
  text += "# HELP fiskald_port_waiting_seconds How long the port's oldest held receipt has "
          "waited (0: none waits).\n"
          "# TYPE fiskald_port_waiting_seconds gauge\n" + held_for;
  double sum = 0;
  std::uint64_t count = 0;
  printers_.SendTimes(&sum, &count);
  char seconds[64];
  std::snprintf(seconds, sizeof seconds, "%.6f", sum);
  text += "# HELP fiskald_send_seconds Time from taking a receipt off its queue to its end.\n"
          "# TYPE fiskald_send_seconds summary\n"
          "fiskald_send_seconds_sum " + std::string(seconds) + "\n" +
          "fiskald_send_seconds_count " + std::to_string(count) + "\n";
  http::Response r;
  r.content_type = "text/plain; version=0.0.4; charset=utf-8";
  r.body = std::move(text);
  reply(std::move(r));
}

}  // namespace fiskal::service

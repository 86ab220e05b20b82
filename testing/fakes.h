// Fakes for the effects of a receipt run. They write one shared list of
// events, in the order things happened, and fail on demand.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "receipt/env.h"

namespace fiskal::testing {

struct Event {
  std::string kind;  // read, create, port, send, record, pause, close
  std::string text;  // the file name, port number, text or seconds

  bool operator==(const Event&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Event& event);

class FakeEnv : public Env {
 public:
  // Input files by name; a missing name reads as "No such file".
  std::map<std::string, std::string> files;

  // 1-based numbers of the send / record calls that fail; 0: none fails.
  int fail_send_at = 0;
  int fail_record_at = 0;
  bool fail_create = false;
  bool fail_close = false;
  bool folder_busy = false;  // another run holds the folder
  bool port_busy = false;    // another run holds the port
  // A stop signal (SIGTERM) arrives during the k-th send or the k-th pause.
  int stop_during_send = 0;
  int stop_during_pause = 0;

  std::vector<Event> events;

  // Just the events of one kind, in order.
  std::vector<std::string> Texts(const std::string& kind) const;

  Status ReadFile(const std::string& path, std::string* contents) override;
  Status CreateTranscript(const std::string& path,
                          std::unique_ptr<Transcript>* transcript) override;
  Status NewPort(std::uint8_t nPort, std::unique_ptr<Port>* port) override;
  Clock& clock() override;
  int StopSignal() override { return stop_signal_; }

 private:
  class FakePort;
  class FakeTranscript;
  class FakeClock;

  int sends_ = 0;
  int records_ = 0;
  int pauses_ = 0;
  int stop_signal_ = 0;
  std::unique_ptr<Clock> clock_;
};

}  // namespace fiskal::testing

#include "testing/fakes.h"

#include <cerrno>
#include <csignal>
#include <ostream>

namespace fiskal::testing {

std::ostream& operator<<(std::ostream& out, const Event& event) {
  out << event.kind << "(";
  for (unsigned char c : event.text) {
    if (c >= 0x20 && c < 0x7F) {
      out << c;
    } else {
      static constexpr char kHex[] = "0123456789ABCDEF";
      out << "\\x" << kHex[c >> 4] << kHex[c & 0xF];
    }
  }
  return out << ")";
}

class FakeEnv::FakePort : public Port {
 public:
  FakePort(FakeEnv& env, std::uint8_t nPort) : env_(env), nPort_(nPort) {}
  Status Send(std::string_view text) override {
    ++env_.sends_;
    if (env_.sends_ == env_.stop_during_send) env_.stop_signal_ = SIGTERM;
    if (env_.sends_ == env_.fail_send_at) {
      return Status::FromErrno("cannot open", EIO).Context(
          "port " + std::to_string(nPort_) + " (fake)");
    }
    env_.events.push_back({"send", std::string(text)});
    return Status::Ok();
  }

 private:
  FakeEnv& env_;
  std::uint8_t nPort_;
};

class FakeEnv::FakeTranscript : public Transcript {
 public:
  explicit FakeTranscript(FakeEnv& env) : env_(env) {}
  Status Record(std::string_view text) override {
    if (++env_.records_ == env_.fail_record_at) {
      return Status::FromErrno("fiskal.log: cannot write", ENOSPC);
    }
    env_.events.push_back({"record", std::string(text)});
    return Status::Ok();
  }
  Status Close() override {
    env_.events.push_back({"close", ""});
    if (env_.fail_close) return Status::FromErrno("fiskal.log: cannot close", EIO);
    return Status::Ok();
  }

 private:
  FakeEnv& env_;
};

class FakeEnv::FakeClock : public Clock {
 public:
  explicit FakeClock(FakeEnv& env) : env_(env) {}
  double Now() override { return now_; }
  Status Sleep(double seconds, StopFlag& stop) override {
    std::string text = std::to_string(seconds);
    text.erase(text.find_last_not_of('0') + 1);
    env_.events.push_back({"pause", text});
    if (++env_.pauses_ == env_.stop_during_pause) env_.stop_signal_ = SIGTERM;
    if (stop.StopSignal() != 0) return Status::Error("pause cut short by SIGTERM");
    now_ += seconds;
    return Status::Ok();
  }

 private:
  FakeEnv& env_;
  double now_ = 0;
};

std::vector<std::string> FakeEnv::Texts(const std::string& kind) const {
  std::vector<std::string> texts;
  for (const Event& event : events) {
    if (event.kind == kind) texts.push_back(event.text);
  }
  return texts;
}

Status FakeEnv::ReadFile(const std::string& path, std::string* contents) {
  events.push_back({"read", path});
  auto it = files.find(path);
  if (it == files.end()) return Status::FromErrno(path + ": cannot open", ENOENT);
  *contents = it->second;
  return Status::Ok();
}

Status FakeEnv::CreateTranscript(const std::string& path,
                                 std::unique_ptr<Transcript>* transcript) {
  events.push_back({"create", path});
  if (fail_create) return Status::FromErrno(path + ": cannot create", EACCES);
  if (folder_busy) {
    return Status::Error(path + ": another receipt run is using this folder");
  }
  *transcript = std::make_unique<FakeTranscript>(*this);
  return Status::Ok();
}

Status FakeEnv::NewPort(std::uint8_t nPort, std::unique_ptr<Port>* port) {
  events.push_back({"port", std::to_string(nPort)});
  if (port_busy) {
    return Status::Error("port " + std::to_string(nPort) +
                         " (fake) is in use by another receipt run");
  }
  *port = std::make_unique<FakePort>(*this, nPort);
  return Status::Ok();
}

Clock& FakeEnv::clock() {
  if (!clock_) clock_ = std::make_unique<FakeClock>(*this);
  return *clock_;
}

}  // namespace fiskal::testing

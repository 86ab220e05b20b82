// The printers' workers with a port and a clock that are fakes: a port
// that cannot be opened, or that another run holds, for as many tries as a
// test says; a clock whose pauses take no time (or, parked, wait for a
// stop), so that a hold of minutes runs in no time.

#include "service/printers/printers.h"

#include <gtest/gtest.h>

#include <csignal>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "service/journal/journal.h"
#include "service/shutdown.h"
#include "testing/temp_dir.h"

namespace fiskal::service {
namespace {

constexpr std::int64_t kEpochMs = 1'800'000'000'000;
// A guard against a hang, never a speed requirement.
constexpr auto kPatience = std::chrono::seconds(60);

// Time moves only by the pauses taken. Once parked, a pause waits on the
// shutdown's condition until its stop flag is raised, as the service's
// own clock does.
class FakeClock : public Clock {
 public:
  explicit FakeClock(Shutdown& shutdown) : shutdown_(shutdown) {}
  double Now() override {
    std::lock_guard<std::mutex> lock(mu_);
    return now_;
  }
  Status Sleep(double seconds, StopFlag& stop) override {
    {
      std::unique_lock<std::mutex> lock(mu_);
      if (!parked_) {
        if (stop.StopSignal() != 0) return Status::Error("pause cut short");
        now_ += seconds;
        pauses_.push_back(seconds);
        return Status::Ok();
      }
      ++waiting_;
      changed_.notify_all();
    }
    std::unique_lock<std::mutex> lock(shutdown_.mutex());
    while (stop.StopSignal() == 0) shutdown_.wakeup().wait(lock);
    return Status::Error("pause cut short");
  }
  std::int64_t WallMs() {
    std::lock_guard<std::mutex> lock(mu_);
    return kEpochMs + static_cast<std::int64_t>(now_ * 1000);
  }
  void Park() {
    std::lock_guard<std::mutex> lock(mu_);
    parked_ = true;
  }
  // Waits until a pause waits, parked.
  bool WaitUntilParked() {
    std::unique_lock<std::mutex> lock(mu_);
    return changed_.wait_for(lock, kPatience, [&] { return waiting_ > 0; });
  }
  std::vector<double> pauses() {
    std::lock_guard<std::mutex> lock(mu_);
    return pauses_;
  }

 private:
  Shutdown& shutdown_;
  std::mutex mu_;
  std::condition_variable changed_;
  double now_ = 0;
  bool parked_ = false;
  int waiting_ = 0;
  std::vector<double> pauses_;
};

class RecordingPort : public Port {
 public:
  explicit RecordingPort(std::string* line) : line_(line) {}
  Status Send(std::string_view text) override {
    line_->append(text);
    return Status::Ok();
  }

 private:
  std::string* line_;
};

class HeldLock : public RunLock {};

// Port 1 on /dev/fake1. Each try takes the next of `locks` ("busy",
// "error", else taken) and of `reasons` (why the device cannot be opened;
// empty: it can), and the last ones stay once the lists run out.
class FakePorts : public PortAccess {
 public:
  std::string Device(int port) override { return "/dev/fake" + std::to_string(port); }
  Status Lock(int, const std::string&, std::unique_ptr<RunLock>* lock, bool* busy) override {
    const std::string next = Next(&locks);
    *busy = next == "busy";
    if (next == "busy") return Status::Error("in use by another receipt run");
    if (next == "error") return Status::Error("cannot lock /run/lock/x: Permission denied");
    *lock = std::make_unique<HeldLock>();
    return Status::Ok();
  }
  std::unique_ptr<Port> Open(int, const std::string&) override {
    return std::make_unique<RecordingPort>(&line);
  }
  std::string WhyCannotOpen(int, const std::string&) override {
    ++probes;
    return Next(&reasons);
  }

  std::deque<std::string> locks;
  std::deque<std::string> reasons;
  int probes = 0;
  std::string line;  // what reached the port

 private:
  static std::string Next(std::deque<std::string>* list) {
    if (list->empty()) return "";
    std::string next = list->front();
    if (list->size() > 1) list->pop_front();
    return next;
  }
};

struct Shop {
  explicit Shop(double hold_seconds) {
    const Status s = Journal::Open(dir.File("j.db"), [this] { return clock.WallMs(); }, &journal);
    EXPECT_TRUE(s.ok()) << s.message();
    options.hold_seconds = hold_seconds;
    options.finished = [this](std::int64_t id) {
      std::lock_guard<std::mutex> lock(mu);
      finished.insert(id);
      changed.notify_all();
    };
  }
  ~Shop() {
    if (printers) printers->Stop();
  }

  // Receipts for port 1, each two texts; the printers start with the
  // first.
  std::int64_t Accept(const std::string& key, std::int64_t deadline_ms = 0) {
    if (!printers) printers = std::make_unique<Printers>(*journal, shutdown, clock, ports, options);
    NewReceipt r;
    r.idempotency_key = key;
    r.body_sha256 = std::string(32, 'h');
    r.port = 1;
    r.device = "/dev/fake1";
    r.deadline_ms = deadline_ms;
    r.texts = {{key + "-a", "version text", false, false}, {key + "-b", "begin frame", true, false}};
    std::int64_t id = 0;
    bool duplicate = false;
    EXPECT_TRUE(journal
                    ->Accept(r, [this](std::int64_t new_id) { printers->Enqueue(new_id, 1); }, &id,
                             &duplicate)
                    .ok());
    return id;
  }

  StoredReceipt WaitFinished(std::int64_t id) {
    {
      std::unique_lock<std::mutex> lock(mu);
      EXPECT_TRUE(changed.wait_for(lock, kPatience, [&] { return finished.count(id) != 0; }))
          << "receipt " << id << " did not end";
    }
    return Stored(id);
  }

  StoredReceipt Stored(std::int64_t id) {
    std::optional<StoredReceipt> r;
    EXPECT_TRUE(journal->Get(id, &r).ok());
    return r.value_or(StoredReceipt{});
  }

  testing::TempDir dir;
  Shutdown shutdown;
  FakeClock clock{shutdown};
  FakePorts ports;
  PrinterOptions options;
  std::unique_ptr<Journal> journal;
  std::unique_ptr<Printers> printers;
  std::mutex mu;
  std::condition_variable changed;
  std::set<std::int64_t> finished;
};

std::vector<double> Repeat(double seconds, int times, std::vector<double> then = {}) {
  std::vector<double> pauses(static_cast<std::size_t>(times), seconds);
  pauses.insert(pauses.end(), then.begin(), then.end());
  return pauses;
}

// How a held port is tried again, and how the hold ends: the port opens,
// the hold's length passes, the receipt's own deadline passes, or the
// run lock cannot be had at all.
TEST(Printers, AHeldPortIsTriedAgainUntilItOpensOrTheHoldEnds) {
  const std::string gone = "No such file or directory";
  struct Case {
    const char* what;
    std::deque<std::string> locks;
    std::deque<std::string> reasons;
    std::int64_t deadline_after_ms;  // 0: none
    State state;
    std::vector<double> pauses;  // before the first text (log-only pauses after)
    std::string message_starts;
  };
  const Case cases[] = {
      {"the device comes back", {}, {gone, gone, gone, ""}, 0, State::kPrinted, Repeat(1, 3), ""},
      {"another run lets go", {"busy", "busy", ""}, {}, 0, State::kPrinted, Repeat(0.1, 2), ""},
      {"every second for 10 s, then every 5 s, until the hold's minute",
       {},
       {gone},
       0,
       State::kNotSent,
       Repeat(1, 10, Repeat(5, 10)),
       "waited 1 min for port 1 (/dev/fake1): No such file or directory (since "},
      {"its own deadline first",
       {},
       {gone},
       3'000,
       State::kNotSent,
       Repeat(1, 3),
       "its deadline ("},
      {"the lock's folder refuses",
       {"error"},
       {},
       0,
       State::kNotSent,
       {},
       "cannot lock /run/lock/x: Permission denied; nothing was sent"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Shop shop(60);
    shop.ports.locks = c.locks;
    shop.ports.reasons = c.reasons;
    const std::int64_t id =
        shop.Accept("r", c.deadline_after_ms != 0 ? shop.clock.WallMs() + c.deadline_after_ms : 0);
    const StoredReceipt r = shop.WaitFinished(id);
    EXPECT_EQ(r.state, c.state) << r.message;
    EXPECT_EQ(r.message.rfind(c.message_starts, 0), 0u) << r.message;
    std::vector<double> pauses = shop.clock.pauses();
    pauses.resize(std::min(pauses.size(), c.pauses.size()));
    EXPECT_EQ(pauses, c.pauses);
    EXPECT_EQ(shop.ports.line, c.state == State::kPrinted ? "r-ar-b" : "");
  }
}

// Without a hold the device is not opened ahead: the receipt goes to the
// port at once, as before.
TEST(Printers, WithoutAHoldNothingIsTriedAhead) {
  Shop shop(0);
  shop.ports.reasons = {"No such file or directory"};
  const std::int64_t id = shop.Accept("r");
  EXPECT_EQ(shop.WaitFinished(id).state, State::kPrinted);
  EXPECT_EQ(shop.ports.probes, 0);
}

// While held: the port shows since when, why and how many; a stop leaves
// the receipts queued for the next start; a give-up ends them all, and a
// second one finds nothing.
TEST(Printers, HeldReceiptsStayForTheNextStartOrAreGivenUp) {
  for (const bool give_up : {false, true}) {
    SCOPED_TRACE(give_up ? "given up" : "stopped");
    Shop shop(900);
    shop.ports.reasons = {"No such file or directory"};
    shop.clock.Park();
    const std::int64_t first = shop.Accept("first");
    const std::int64_t second = shop.Accept("second");
    ASSERT_TRUE(shop.clock.WaitUntilParked());
    PrinterStatus port1;
    for (const PrinterStatus& p : shop.printers->Snapshot()) {
      if (p.port == 1) port1 = p;
    }
    EXPECT_EQ(port1.waiting, 2u);
    EXPECT_EQ(port1.queued, 2u);
    EXPECT_FALSE(port1.sending.has_value());
    EXPECT_EQ(port1.waiting_since_ms, kEpochMs);
    EXPECT_EQ(port1.waiting_reason, "port 1 (/dev/fake1): No such file or directory");

    if (!give_up) {
      shop.shutdown.Request(SIGTERM);
      shop.printers->Stop();
      for (std::int64_t id : {first, second}) {
        const StoredReceipt r = shop.Stored(id);
        EXPECT_EQ(r.state, State::kQueued);
        EXPECT_EQ(r.waiting_since_ms, kEpochMs);
        EXPECT_EQ(r.waiting_reason, port1.waiting_reason);
      }
      continue;
    }
    std::size_t count = 0;
    EXPECT_TRUE(shop.printers->GiveUp(1, &count));
    EXPECT_EQ(count, 2u);
    for (std::int64_t id : {first, second}) {
      const StoredReceipt r = shop.WaitFinished(id);
      EXPECT_EQ(r.state, State::kNotSent);
      EXPECT_EQ(r.message.rfind("given up by the operator after it waited 0 s for port 1 "
                                "(/dev/fake1): No such file or directory (since ",
                                0),
                0u)
          << r.message;
    }
    EXPECT_FALSE(shop.printers->GiveUp(1, &count));
    EXPECT_FALSE(shop.printers->GiveUp(0, &count));
    EXPECT_EQ(shop.ports.line, "");
  }
}

}  // namespace
}  // namespace fiskal::service

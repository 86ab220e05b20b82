// How a receipt is taken, against a real journal in a temporary folder and
// the printers' workers on fake ports and a clock whose pauses take no
// time: what "the same receipt" is under a key, and a receipt's deadline.

#include "service/intake/intake.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "service/journal/journal.h"
#include "service/printers/printers.h"
#include "service/intake/receipt_form.h"
#include "base/time_text.h"
#include "service/documents.h"
#include "service/os/sha256.h"
#include "service/shutdown.h"
#include "testing/old_journal.h"
#include "testing/temp_dir.h"

namespace fiskal::service {
namespace {

using Json = nlohmann::ordered_json;

// The journal's clock: a fixed time, 2027-01-15.
constexpr std::int64_t kNow = 1'800'000'000'000;

class InstantClock : public Clock {
 public:
  double Now() override { return 0; }
  Status Sleep(double, StopFlag& stop) override {
    return stop.StopSignal() != 0 ? Status::Error("pause cut short") : Status::Ok();
  }
};

class RecordingPort : public Port {
 public:
  RecordingPort(std::mutex* mu, std::string* line) : mu_(mu), line_(line) {}
  Status Send(std::string_view text) override {
    std::lock_guard<std::mutex> lock(*mu_);
    line_->append(text);
    return Status::Ok();
  }

 private:
  std::mutex* mu_;
  std::string* line_;
};

class HeldLock : public RunLock {};

// Ports 1 and 2 are configured; what is sent on them is recorded.
class FakePorts : public PortAccess {
 public:
  std::string Device(int port) override {
    return port == 1 || port == 2 ? "/dev/fake" + std::to_string(port) : "";
  }
  Status Lock(int, const std::string&, std::unique_ptr<RunLock>* lock, bool* busy) override {
    *busy = false;
    *lock = std::make_unique<HeldLock>();
    return Status::Ok();
  }
  std::unique_ptr<Port> Open(int port, const std::string&) override {
    return std::make_unique<RecordingPort>(&mu, &lines[port]);
  }
  std::string WhyCannotOpen(int, const std::string&) override { return ""; }

  std::string Line(int port) {
    std::lock_guard<std::mutex> lock(mu);
    return lines[port];
  }

  std::mutex mu;
  std::map<int, std::string> lines;
};

struct Service {
  testing::TempDir dir;
  std::unique_ptr<Journal> journal;
  Shutdown shutdown;
  InstantClock clock;
  FakePorts ports;
  std::unique_ptr<Printers> printers;
  std::unique_ptr<Intake> intake;
  std::mutex mu;
  std::condition_variable ended;
  std::set<std::int64_t> finished;

  // A new journal, or the one at `path`.
  explicit Service(const std::string& path = "") {
    const Status s = Journal::Open(path.empty() ? dir.File("j.db") : path,
                                   [] { return kNow; }, &journal);
    if (!s.ok()) throw std::runtime_error(s.message());
    PrinterOptions options;
    options.finished = [this](std::int64_t id) {
      std::lock_guard<std::mutex> lock(mu);
      finished.insert(id);
      ended.notify_all();
    };
    printers = std::make_unique<Printers>(*journal, shutdown, clock, ports, options);
    intake = std::make_unique<Intake>(*journal, *printers, ports, shutdown);
  }
  ~Service() {
    intake.reset();
    printers.reset();  // its workers end before the journal goes
  }

  Outcome Post(const std::string& key, const std::string& body, bool json = true,
               std::vector<Submission::Deadline> deadlines = {}, std::int64_t expiry = 0) {
    Submission s;
    s.key = key;
    s.json = json;
    s.body = body;
    s.deadlines = std::move(deadlines);
    s.deadline_ms = expiry;
    return intake->Submit(s);
  }

  // The receipt once it ended (a guard against a hang, no speed asked).
  StoredReceipt Final(std::int64_t id) {
    std::unique_lock<std::mutex> lock(mu);
    EXPECT_TRUE(ended.wait_for(lock, std::chrono::seconds(60),
                               [&] { return finished.count(id) != 0; }));
    lock.unlock();
    std::optional<StoredReceipt> r;
    EXPECT_TRUE(journal->Get(id, &r).ok());
    return r.value_or(StoredReceipt{});
  }

  std::size_t Count() {
    std::size_t count = 0;
    bool more = false;
    EXPECT_TRUE(journal
                    ->List(std::nullopt, 0, 1000,
                           [&](StoredReceipt&&) {
                             ++count;
                             return true;
                           },
                           &more)
                    .ok());
    return count;
  }
};

// One sale in its forms: JSON, and the fiskal.txt it is written out as.
const std::string kSale = R"({"port": 1, "footer": "THANK YOU", "items": [
  {"name": "BREAD", "tax": "1", "quantity": "1", "price": "2.50"},
  {"name": "MILK", "tax": "2", "quantity": "1.5", "price": "1.20"}]})";
const std::string kSaleText = "1;THANK YOU\r\n1\tBREAD\t1\t100\t250\t\r\n2\tMILK\t2\t150\t120\t\r\n";

struct Retry {
  const char* what;
  std::string body;
  bool json;
};

// Bodies that make the same receipt as kSale, whatever their form.
const Retry kSameReceipt[] = {
    {"the same bytes", kSale, true},
    {"members in another order",
     R"({"items": [{"price": "2.50", "quantity": "1", "tax": "1", "name": "BREAD"},
        {"tax": "2", "name": "MILK", "price": "1.20", "quantity": "1.5"}],
        "footer": "THANK YOU", "port": 1})",
     true},
    {"no spacing",
     R"({"port":1,"footer":"THANK YOU","items":[{"name":"BREAD","tax":"1","quantity":"1","price":"2.50"},{"name":"MILK","tax":"2","quantity":"1.5","price":"1.20"}]})",
     true},
    {"numbers for amounts",
     R"({"port": 1, "footer": "THANK YOU", "items": [
        {"name": "BREAD", "tax": "1", "quantity": 1, "price": 2.5},
        {"name": "MILK", "tax": "2", "quantity": 1.50, "price": 1.2}]})",
     true},
    {"other decimal forms",
     R"({"port": 1, "footer": "THANK YOU", "items": [
        {"name": "BREAD", "tax": "1", "quantity": "1.00", "price": "2.5"},
        {"name": "MILK", "tax": "2", "quantity": "1.50", "price": "01.20"}]})",
     true},
    {"a deadline (not part of the receipt)",
     R"({"port": 1, "footer": "THANK YOU", "deadline": "2030-01-01T00:00:00Z", "items": [
        {"name": "BREAD", "tax": "1", "quantity": "1", "price": "2.50"},
        {"name": "MILK", "tax": "2", "quantity": "1.5", "price": "1.20"}]})",
     true},
    {"the fiskal.txt form", kSaleText, false},
};

// Bodies that make another receipt.
const Retry kOtherReceipt[] = {
    {"another price",
     R"({"port": 1, "footer": "THANK YOU", "items": [
        {"name": "BREAD", "tax": "1", "quantity": "1", "price": "2.60"},
        {"name": "MILK", "tax": "2", "quantity": "1.5", "price": "1.20"}]})",
     true},
    {"another footer",
     R"({"port": 1, "footer": "THANKS", "items": [
        {"name": "BREAD", "tax": "1", "quantity": "1", "price": "2.50"},
        {"name": "MILK", "tax": "2", "quantity": "1.5", "price": "1.20"}]})",
     true},
    {"one item fewer",
     R"({"port": 1, "footer": "THANK YOU", "items": [
        {"name": "BREAD", "tax": "1", "quantity": "1", "price": "2.50"}]})",
     true},
    {"the items swapped",
     R"({"port": 1, "footer": "THANK YOU", "items": [
        {"name": "MILK", "tax": "2", "quantity": "1.5", "price": "1.20"},
        {"name": "BREAD", "tax": "1", "quantity": "1", "price": "2.50"}]})",
     true},
    {"the text form of another sale", "1;THANK YOU\r\n1\tBREAD\t1\t200\t250\t\r\n", false},
};

// Under the key of kSale: the same receipt in any form answers with it;
// another receipt, another port, or a body that is no receipt at all is
// refused naming it, in words that never suggest it was not printed; and
// no new receipt is stored.
TEST(Intake, TheSameReceiptWhateverItsForm) {
  for (const bool stored_as_json : {true, false}) {
    SCOPED_TRACE(stored_as_json ? "stored as JSON" : "stored as fiskal.txt");
    Service service;
    const Outcome first =
        service.Post("sale-1", stored_as_json ? kSale : kSaleText, stored_as_json);
    ASSERT_EQ(first.status, 201) << first.detail;
    service.Final(first.id);

    for (const Retry& r : kSameReceipt) {
      SCOPED_TRACE(r.what);
      const Outcome again = service.Post("sale-1", r.body, r.json);
      EXPECT_EQ(again.status, 200) << again.detail;
      EXPECT_EQ(again.id, first.id);
    }

    const struct {
      const char* what;
      std::string body;
      bool json;
      const char* detail;
    } refused[] = {
        {kOtherReceipt[0].what, kOtherReceipt[0].body, true, "which prints other texts"},
        {kOtherReceipt[1].what, kOtherReceipt[1].body, true, "which prints other texts"},
        {kOtherReceipt[2].what, kOtherReceipt[2].body, true, "which prints other texts"},
        {kOtherReceipt[3].what, kOtherReceipt[3].body, true, "which prints other texts"},
        {kOtherReceipt[4].what, kOtherReceipt[4].body, false, "which prints other texts"},
        {"another port", "2;THANK YOU\r\n1\tBREAD\t1\t100\t250\t\r\n2\tMILK\t2\t150\t120\t\r\n",
         false, "which prints on port 1, not on port 2"},
        {"not JSON", "{", true, "this body is not a receipt (the body is not well-formed JSON"},
        {"no items", R"({"port": 1})", true,
         "this body is not a receipt (the receipt lacks the field \"items\")"},
        {"a TAB in a name",
         R"({"port": 1, "items": [{"name": "A\tB", "tax": "1", "quantity": "1", "price": "1"}]})",
         true, "this body is not a receipt (items[0].name holds a TAB"},
        {"a text fiskal refuses", "1;T\r\n1 BREAD 1 100 250\r\n", false,
         "this body is not a receipt (fiskal.txt:2: item line has 0 TABs"},
        {"a deadline that is no string", R"({"port": 1, "items": [], "deadline": 5})", true,
         "this body is not a receipt (deadline must be a string"},
    };
    for (const auto& r : refused) {
      SCOPED_TRACE(r.what);
      const Outcome other = service.Post("sale-1", r.body, r.json);
      EXPECT_EQ(other.status, 422);
      EXPECT_EQ(other.extra.value("receipt", std::int64_t{0}), first.id) << other.extra.dump();
      EXPECT_EQ(other.detail.rfind("this Idempotency-Key belongs to receipt " +
                                       std::to_string(first.id),
                                   0),
                0u)
          << other.detail;
      EXPECT_NE(other.detail.find(r.detail), std::string::npos) << other.detail;
      EXPECT_NE(other.detail.find("a new sale needs a new key"), std::string::npos);
      for (const char* misleading : {"nothing was sent", "not stored", "fresh key"}) {
        EXPECT_EQ(other.detail.find(misleading), std::string::npos) << other.detail;
      }
    }
    EXPECT_EQ(service.Count(), 1u);
    const std::string printed = service.ports.Line(1);
    EXPECT_FALSE(printed.empty());
    EXPECT_EQ(service.ports.Line(2), "");
  }
}

// A journal of version 3 is brought up to date: its keys answer with their
// receipt for the same receipt in another form, and refuse another one.
TEST(Intake, KeysOfAnOlderJournalKeepTheirReceipt) {
  testing::TempDir dir;
  Receipt receipt;
  ASSERT_FALSE(PrepareFromText(kSaleText, false, &receipt).has_value());
  testing::OldReceipt old{"old-sale", Sha256(kSaleText), "printed", 1, {}};
  for (const Text& t : receipt.texts) old.texts.push_back(t.bytes);
  testing::WriteVersion3Journal(dir.File("old.db"), {old});

  Service service(dir.File("old.db"));
  for (const Retry& r : kSameReceipt) {
    SCOPED_TRACE(r.what);
    const Outcome again = service.Post("old-sale", r.body, r.json);
    EXPECT_EQ(again.status, 200) << again.detail;
    EXPECT_EQ(again.id, 1);
  }
  for (const Retry& r : kOtherReceipt) {
    SCOPED_TRACE(r.what);
    const Outcome other = service.Post("old-sale", r.body, r.json);
    EXPECT_EQ(other.status, 422);
    EXPECT_EQ(other.extra.value("receipt", std::int64_t{0}), 1);
  }
  EXPECT_EQ(service.Count(), 1u);
  EXPECT_EQ(service.ports.Line(1), "");  // nothing printed again
}

std::string Body(const std::string& deadline) {
  return R"({"port": 1, "items": [{"name": "BREAD", "tax": "1", "quantity": "1", "price": "1"}])" +
         (deadline.empty() ? std::string() : R"(, "deadline": ")" + deadline + "\"") + "}";
}

// A receipt's deadline is the earliest of its own (the member, the
// broker's user property) and its message's expiry; a deadline already
// passed ends it not_sent with nothing sent; a malformed one is refused
// and nothing is stored.
TEST(Intake, TheEarliestDeadlineWins) {
  Service service;
  const std::string in_1_min = Rfc3339(kNow + 60'000);
  const std::string in_2_min = Rfc3339(kNow + 120'000);
  const std::string in_3_min = Rfc3339(kNow + 180'000);
  const struct {
    const char* what;
    std::string member;
    std::vector<std::string> properties;
    std::int64_t expiry;
    std::int64_t deadline;  // 0: none
  } cases[] = {
      {"none", "", {}, 0, 0},
      {"the member alone", in_2_min, {}, 0, kNow + 120'000},
      {"the property alone", "", {in_2_min}, 0, kNow + 120'000},
      {"the expiry alone", "", {}, kNow + 120'000, kNow + 120'000},
      {"the member first", in_1_min, {in_2_min}, kNow + 180'000, kNow + 60'000},
      {"the property first", in_3_min, {in_2_min, in_1_min}, kNow + 180'000, kNow + 60'000},
      {"the expiry first", in_3_min, {in_2_min}, kNow + 60'000, kNow + 60'000},
      {"an offset", "2027-01-15T09:02:00+01:00", {}, 0, kNow + 120'000},
      {"before 1970: passed", "1969-12-31T23:00:00Z", {}, kNow + 60'000, 1},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<Submission::Deadline> properties;
    for (const std::string& p : c.properties) properties.push_back({"the user property deadline", p});
    const Outcome o =
        service.Post("d-" + std::to_string(++n), Body(c.member), true, properties, c.expiry);
    ASSERT_EQ(o.status, 201) << o.detail;
    const StoredReceipt r = service.Final(o.id);
    EXPECT_EQ(r.deadline_ms, c.deadline);
    EXPECT_EQ(ReceiptJson(r)["deadline"],
              c.deadline != 0 ? Json(Rfc3339(c.deadline)) : Json(nullptr));
  }
  EXPECT_EQ(Rfc3339(kNow + 120'000), "2027-01-15T08:02:00.000Z");  // the offset case's time

  // Passed before it came: stored, so that its key has an answer, and
  // ended with nothing sent.
  const std::string before = service.ports.Line(1);
  const Outcome late = service.Post("late", Body(Rfc3339(kNow - 1)));
  ASSERT_EQ(late.status, 201) << late.detail;
  const StoredReceipt r = service.Final(late.id);
  EXPECT_EQ(r.state, State::kNotSent);
  EXPECT_EQ(r.texts_sent(), 0);
  EXPECT_NE(r.message.find("its deadline (" + Rfc3339(kNow - 1) + ") passed"), std::string::npos)
      << r.message;
  EXPECT_EQ(service.ports.Line(1), before);

  const std::size_t stored = service.Count();
  const struct {
    const char* what;
    std::string member;
    std::string property;
    const char* detail;
  } malformed[] = {
      {"a member without its zone", "2027-01-15T09:00:00", "",
       "deadline \"2027-01-15T09:00:00\" is not an RFC 3339 time: the zone is missing"},
      {"a member on no day", "2027-02-30T09:00:00Z", "", "the month has no day 30"},
      {"a property with junk", "", "2027-01-15T09:00:00Z!",
       "the user property deadline \"2027-01-15T09:00:00Z!\" is not an RFC 3339 time"},
  };
  for (const auto& m : malformed) {
    SCOPED_TRACE(m.what);
    std::vector<Submission::Deadline> properties;
    if (!m.property.empty()) properties.push_back({"the user property deadline", m.property});
    const Outcome o = service.Post("bad-" + std::to_string(++n), Body(m.member), true, properties);
    EXPECT_EQ(o.status, 400);
    EXPECT_NE(o.detail.find(m.detail), std::string::npos) << o.detail;
  }
  EXPECT_EQ(service.Count(), stored);
}

}  // namespace
}  // namespace fiskal::service

// fiskald holding receipts for a port that cannot be opened: the port's
// device is a path that does not exist yet (a printer unplugged), and
// later a link to a pseudo-terminal the test reads (plugged in again).

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "receipt/receipt.h"
#include "testing/fiskald.h"
#include "testing/ports.h"
#include "testing/process.h"
#include "testing/pty.h"
#include "testing/temp_dir.h"

namespace fiskal {
namespace {

using Json = nlohmann::json;
using Service = testing::Fiskald;
using testing::TempDir;

std::string JsonReceipt(int port, const std::string& footer) {
  return Json{{"port", port},
              {"footer", footer},
              {"items", {{{"name", "ROLL"}, {"tax", "1"}, {"quantity", "1.00"}, {"price", "1.50"}}}}}
      .dump();
}

// The bytes the line carries for that receipt.
std::string LineBytes(int port, const std::string& footer) {
  Receipt receipt;
  EXPECT_TRUE(PrepareReceipt(std::to_string(port) + ";" + footer + "\r\n1\tROLL\t1\t100\t150\t\r\n",
                             "fiskal.txt", &receipt)
                  .ok());
  std::string bytes;
  for (const Text& t : receipt.texts) bytes += t.bytes;
  return bytes;
}

std::int64_t Post(Service& service, const std::string& key, const std::string& body) {
  auto res = service.Post(key, body);
  EXPECT_TRUE(res);
  EXPECT_EQ(res.status, 201) << res.body;
  return res ? Json::parse(res.body).value("id", std::int64_t{0}) : 0;
}

Json PrinterOf(Service& service, int port) {
  auto res = service.Client().Get("/v1/printers");
  EXPECT_TRUE(res);
  const Json all = Json::parse(res.body);
  for (const Json& p : all["printers"]) {
    if (p["port"] == port) return p;
  }
  return nullptr;
}

bool Waits(const Json& r) {
  return r["state"] == "queued" &&
         r["message"].get<std::string>().rfind("waiting for port 1 (", 0) == 0;
}

// Fiskald with port 1 on `device`, a path that does not exist yet.
struct Unplugged {
  explicit Unplugged(std::optional<testing::FiskaldTestPoints> test_build = std::nullopt) {
    testing::PointPortsAt(1, device);
    service = std::make_unique<Service>(dir, std::vector<std::string>{},
                                        std::vector<std::string>{}, std::move(test_build));
  }
  ~Unplugged() { testing::PointPortsAt(0, ""); }

  TempDir dir;
  const std::string device = dir.File("ttyUSB0");
  std::unique_ptr<Service> service;
};

// Receipts wait for their port, in order, and print byte-exact once it is
// plugged in; a receipt for another port is not held up meanwhile.
TEST(Hold, ReceiptsWaitForTheirPortAndPrintInOrderWhenItIsBack) {
  Unplugged shop;
  Service& service = *shop.service;
  const std::int64_t first = Post(service, "first", JsonReceipt(1, "FIRST"));
  const std::int64_t second = Post(service, "second", JsonReceipt(1, "SECOND"));

  const Json held = service.WaitFor(first, Waits);
  ASSERT_TRUE(Waits(held)) << held.dump();
  EXPECT_NE(held["message"].get<std::string>().find(shop.device + "): No such file or directory, since "),
            std::string::npos)
      << held.dump();
  EXPECT_EQ(held["texts_sent"], 0);
  EXPECT_TRUE(Waits(service.WaitFor(second, Waits)));
  const Json printer = PrinterOf(service, 1);
  EXPECT_EQ(printer["waiting"], 2) << printer.dump();
  EXPECT_FALSE(printer["waiting_since"].is_null());
  EXPECT_EQ(printer["waiting_reason"], "port 1 (" + shop.device + "): No such file or directory");
  auto metrics = service.Client().Get("/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_NE(metrics.body.find("fiskald_port_waiting{port=\"1\"} 2\n"), std::string::npos);

  // Port 0 goes on meanwhile.
  const std::int64_t log_only = Post(service, "log-only", JsonReceipt(0, "ZERO"));
  EXPECT_EQ(service.Get(log_only, "?wait=60")["state"], "printed");

  testing::Pty printer_line;
  ASSERT_EQ(::symlink(printer_line.path().c_str(), shop.device.c_str()), 0);
  EXPECT_EQ(service.Get(second, "?wait=60")["state"], "printed");
  EXPECT_EQ(service.Get(first)["state"], "printed");
  const std::string expected = LineBytes(1, "FIRST") + LineBytes(1, "SECOND");
  EXPECT_EQ(printer_line.Read(expected.size()), expected);
  const Json after = PrinterOf(service, 1);
  EXPECT_EQ(after["waiting"], 0);
  EXPECT_TRUE(after["waiting_since"].is_null());
}

// The hold ends: at its length (made seconds by the build of fiskald made
// for tests), or by the operator's give-up; a second give-up, one for a
// port that holds nothing and one for no port are refused. (Every port 1 to 9 is configured in a
// test, so a port that is not is never met here.)
TEST(Hold, EndsAtItsLengthOrByTheOperator) {
  {
    SCOPED_TRACE("the hold's length");
    testing::FiskaldTestPoints points;
    points.hold_seconds = 2;
    Unplugged shop(points);
    const std::int64_t id = Post(*shop.service, "late", JsonReceipt(1, "LATE"));
    const Json r = shop.service->Get(id, "?wait=60");
    EXPECT_EQ(r["state"], "not_sent");
    const std::string message = r["message"];
    EXPECT_EQ(message.rfind("waited ", 0), 0u) << message;
    EXPECT_NE(message.find(" for port 1 (" + shop.device + "): No such file or directory (since "),
              std::string::npos)
        << message;
    EXPECT_NE(message.find("nothing was sent"), std::string::npos) << message;
  }
  {
    SCOPED_TRACE("give-up");
    Unplugged shop;
    Service& service = *shop.service;
    const std::int64_t a = Post(service, "a", JsonReceipt(1, "A"));
    const std::int64_t b = Post(service, "b", JsonReceipt(1, "B"));
    ASSERT_TRUE(Waits(service.WaitFor(b, Waits)));
    struct Case {
      const char* path;
      int status;
      const char* body;
    };
    for (const Case& c : {Case{"/v1/printers/1/give-up", 200, R"({"given_up":2})"},
                          Case{"/v1/printers/1/give-up", 409, nullptr},
                          Case{"/v1/printers/0/give-up", 409, nullptr},
                          Case{"/v1/printers/10/give-up", 404, nullptr}}) {
      SCOPED_TRACE(c.path);
      auto res = service.Client().Post(c.path, "", "");
      ASSERT_TRUE(res);
      EXPECT_EQ(res.status, c.status) << res.body;
      if (c.body != nullptr) {
        EXPECT_EQ(res.body, c.body);
      }
    }
    for (std::int64_t id : {a, b}) {
      const Json r = service.Get(id);
      EXPECT_EQ(r["state"], "not_sent");
      EXPECT_EQ(r["message"].get<std::string>().rfind("given up by the operator after it waited ", 0),
                0u)
          << r.dump();
    }
    EXPECT_EQ(PrinterOf(service, 1)["waiting"], 0);
  }
}

// Killed while receipts wait, fiskald finds them queued again, not in
// doubt, their wait counted from their first failed try.
TEST(Hold, AKillWhileWaitingLeavesThemQueuedWithTheirFirstTry) {
  Unplugged shop;
  Service& service = *shop.service;
  const std::int64_t id = Post(service, "kept", JsonReceipt(1, "KEPT"));
  ASSERT_TRUE(Waits(service.WaitFor(id, Waits)));
  const Json since = PrinterOf(service, 1)["waiting_since"];
  ASSERT_FALSE(since.is_null());
  const std::string message = service.Get(id)["message"];
  service.Kill();
  service.Start();
  const Json r = service.WaitFor(id, Waits);
  EXPECT_EQ(r["state"], "queued") << r.dump();
  EXPECT_EQ(r["message"], message);
  EXPECT_EQ(PrinterOf(service, 1)["waiting_since"], since);
}

}  // namespace
}  // namespace fiskal

// fiskald end to end: the binary on a loopback port the system gives, a
// real journal file, real HTTP, and the printer a pseudo-terminal the test
// reads. No real serial device is ever opened.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <nlohmann/json.hpp>
#include <sqlite3.h>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "protocol/transcript_record.h"
#include "receipt/receipt.h"
#include "service/journal/journal.h"
#include "testing/fiskald.h"
#include "testing/http_client.h"
#include "testing/ports.h"
#include "testing/process.h"
#include "testing/pty.h"
#include "testing/temp_dir.h"

namespace fiskal {
namespace {

using Json = nlohmann::json;
using testing::ReadAll;
using testing::TempDir;
using testing::WriteAll;

using testing::kPatience;
using Service = testing::Fiskald;

void Nap() { usleep(20'000); }

// A JSON receipt of `items` items.
std::string JsonReceipt(int port, int items, const std::string& footer = "THANK YOU") {
  Json r = {{"port", port}, {"footer", footer}, {"items", Json::array()}};
  for (int i = 0; i < items; ++i) {
    r["items"].push_back({{"name", "ITEM " + std::to_string(i + 1)},
                          {"tax", "1"},
                          {"quantity", "1.00"},
                          {"price", std::to_string(i + 1) + ".50"}});
  }
  return r.dump();
}

// The bytes the line carries for the fiskal.txt of `json`.
std::string LineBytes(int port, int items, const std::string& footer = "THANK YOU") {
  std::string text = std::to_string(port) + ";" + footer + "\r\n";
  for (int i = 0; i < items; ++i) {
    text += std::to_string(i + 1) + "\tITEM " + std::to_string(i + 1) + "\t1\t100\t" +
            std::to_string(i + 1) + "50\t\r\n";
  }
  Receipt receipt;
  EXPECT_TRUE(PrepareReceipt(text, "fiskal.txt", &receipt).ok());
  std::string bytes;
  for (const Text& t : receipt.texts) bytes += t.bytes;
  return bytes;
}

std::int64_t IdOf(const testing::HttpAnswer& res) {
  return res ? Json::parse(res.body).value("id", std::int64_t{0}) : 0;
}

// One key posted 20 times at once, and again after the receipt printed,
// gives one receipt on the printer; the key with another body is refused.
TEST(Fiskald, ExactlyOnceUnderRetries) {
  TempDir dir;
  testing::Pty printer;
  testing::PointPortsAt(1, printer.path());
  Service service(dir);
  const std::string body = JsonReceipt(1, 2);

  std::vector<int> statuses(20);
  std::vector<std::int64_t> ids(20);
  std::vector<std::thread> clients;
  clients.reserve(20);
  for (int i = 0; i < 20; ++i) {
    clients.emplace_back([&, i] {
      auto res = service.Post("sale-1", body);
      statuses[i] = res ? res.status : -100;
      if (res && res.status < 300) ids[i] = IdOf(res);
    });
  }
  for (auto& c : clients) c.join();
  int created = 0;
  std::int64_t id = 0;
  for (int i = 0; i < 20; ++i) {
    EXPECT_TRUE(statuses[i] == 201 || statuses[i] == 200 || statuses[i] == 409)
        << "status " << statuses[i];
    if (statuses[i] == 201) {
      ++created;
      id = ids[i];
    }
  }
  EXPECT_EQ(created, 1);
  for (int i = 0; i < 20; ++i) {
    if (statuses[i] == 200) {
      EXPECT_EQ(ids[i], id);  // the same receipt, replayed
    }
  }

  const Json done = service.Get(id, "?wait=120");
  EXPECT_EQ(done["state"], "printed") << done.dump();
  auto again = service.Post("sale-1", body, "application/json", "?wait=0");
  ASSERT_TRUE(again);
  EXPECT_EQ(again.status, 200);
  EXPECT_EQ(again.Header("Idempotent-Replayed"), "true");
  EXPECT_EQ(IdOf(again), id);
  // The same receipt as its fiskal.txt: the same answer.
  auto as_text = service.Post("sale-1", "1;THANK YOU\r\n1\tITEM 1\t1\t100\t150\t\r\n"
                                        "2\tITEM 2\t1\t100\t250\t\r\n", "text/plain");
  ASSERT_TRUE(as_text);
  EXPECT_EQ(as_text.status, 200) << as_text.body;
  EXPECT_EQ(IdOf(as_text), id);
  auto other = service.Post("sale-1", JsonReceipt(1, 3));
  ASSERT_TRUE(other);
  EXPECT_EQ(other.status, 422);
  EXPECT_EQ(other.Header("Content-Type"), "application/problem+json");
  EXPECT_EQ(Json::parse(other.body)["receipt"], id);

  const std::string expected = LineBytes(1, 2);
  EXPECT_EQ(printer.Read(expected.size()), expected);
  EXPECT_EQ(printer.ReadFor(1.0), "");  // printed once, and once only
}

// Killed while sending, fiskald comes back with that receipt in doubt and
// sends nothing of it again; the receipts queued behind it print once
// each, in order.
TEST(Fiskald, KilledWhileSendingNeverSendsTwiceAndLosesNothing) {
  TempDir dir;
  testing::Pty printer;
  testing::PointPortsAt(1, printer.path());
  auto service = std::make_unique<Service>(dir);
  const std::int64_t first = IdOf(service->Post("a", JsonReceipt(1, 6)));
  const std::int64_t second = IdOf(service->Post("b", JsonReceipt(1, 1, "B")));
  const std::int64_t third = IdOf(service->Post("c", JsonReceipt(1, 2, "C")));
  ASSERT_TRUE(first > 0 && second > first && third > second);
  service->WaitFor(first, [](const Json& r) { return r["texts_sent"] >= 3; });
  service->Kill();
  const std::string before = printer.ReadFor(0.5);
  EXPECT_EQ(before, LineBytes(1, 6).substr(0, before.size()));

  service->Start();
  const Json doubt = service->Get(first);
  EXPECT_EQ(doubt["state"], "in_doubt");
  EXPECT_GE(doubt["texts_sent"], 3);
  EXPECT_EQ(service->Get(third, "?wait=120")["state"], "printed");
  EXPECT_EQ(service->Get(second)["state"], "printed");
  const std::string after = LineBytes(1, 1, "B") + LineBytes(1, 2, "C");
  EXPECT_EQ(printer.Read(after.size()), after);
  EXPECT_EQ(printer.ReadFor(0.5), "");

  // A person looks at the printer and says what happened.
  testing::HttpClient client = service->Client();
  auto resolved = client.Post("/v1/receipts/" + std::to_string(first) + "/resolve",
                              R"({"printed": true})", "application/json");
  ASSERT_TRUE(resolved);
  EXPECT_EQ(resolved.status, 200);
  EXPECT_EQ(Json::parse(resolved.body)["state"], "resolved_printed");
  auto twice = client.Post("/v1/receipts/" + std::to_string(second) + "/resolve",
                           R"({"printed": false})", "application/json");
  ASSERT_TRUE(twice);
  EXPECT_EQ(twice.status, 409);
}

// SIGTERM finishes the receipt being sent and keeps the queued ones for
// the next start; a second signal stops after the text being sent.
TEST(Fiskald, StopSignals) {
  TempDir dir;
  testing::Pty printer;
  testing::PointPortsAt(1, printer.path());
  auto service = std::make_unique<Service>(dir);
  const std::int64_t first = IdOf(service->Post("a", JsonReceipt(1, 2)));
  const std::int64_t second = IdOf(service->Post("b", JsonReceipt(0, 1)));
  const std::int64_t third = IdOf(service->Post("c", JsonReceipt(1, 1, "C")));
  service->WaitFor(first, [](const Json& r) { return r["state"] == "sending"; });
  const testing::ProcessResult stopped = service->Stop();
  EXPECT_EQ(stopped.status, 0) << stopped.err;
  EXPECT_EQ(printer.Read(LineBytes(1, 2).size()), LineBytes(1, 2));

  service->Start();
  EXPECT_EQ(service->Get(first)["state"], "printed");
  EXPECT_EQ(service->Get(third, "?wait=120")["state"], "printed");
  EXPECT_EQ(service->Get(second, "?wait=120")["state"], "printed");
  EXPECT_EQ(printer.Read(LineBytes(1, 1, "C").size()), LineBytes(1, 1, "C"));

  const std::int64_t cut = IdOf(service->Post("d", JsonReceipt(1, 8)));
  service->WaitFor(cut, [](const Json& r) { return r["texts_sent"] >= 2; });
  service->process().Signal(SIGTERM);
  service->process().Signal(SIGINT);
  EXPECT_EQ(service->process().Wait(kPatience).status, 0);
  service->Start();
  const Json r = service->Get(cut);
  EXPECT_EQ(r["state"], "cut") << r.dump();
  EXPECT_NE(r["message"].get<std::string>().find("stopped by SIG"), std::string::npos);
  EXPECT_NE(r["message"].get<std::string>().find("left open on the printer"), std::string::npos);
}

// While fiskald stops, a key it stored is answered with its receipt (200):
// a 503 would tell the point-of-sale system the sale did not print. A new
// key is refused (503): not stored, it will not print.
TEST(Fiskald, ReplaysWhileStopping) {
  TempDir dir;
  testing::Pty printer;
  testing::PointPortsAt(1, printer.path());
  Service service(dir);
  const std::string body = JsonReceipt(1, 6);
  const std::int64_t id = IdOf(service.Post("sale", body));
  ASSERT_GT(id, 0);
  service.WaitFor(id, [](const Json& r) { return r["texts_sent"] >= 2; });
  service.process().Signal(SIGTERM);
  ASSERT_TRUE(service.process().WaitUntilTaken(SIGTERM));
  // Draining begins once the signal was taken; the receipt is still going
  // out (four more pauses), so these come while fiskald stops.
  const double deadline = testing::MonotonicNow() + kPatience;
  testing::HttpAnswer fresh;
  int tries = 0;
  do {
    fresh = service.Post("another-" + std::to_string(++tries), JsonReceipt(0, 1));
  } while (fresh.status == 201 && testing::MonotonicNow() < deadline);
  EXPECT_EQ(fresh.status, 503) << fresh.body;
  EXPECT_EQ(fresh.Header("Retry-After"), "5");
  const testing::HttpAnswer replay = service.Post("sale", body, "application/json", "?wait=30");
  EXPECT_EQ(replay.status, 200) << replay.body;
  EXPECT_EQ(replay.Header("Idempotent-Replayed"), "true");
  EXPECT_EQ(IdOf(replay), id);
  EXPECT_EQ(service.process().Wait(kPatience * 3).status, 0);
  printer.Read(LineBytes(1, 6).size());
}

// Every port fiskald prints on is listed from its start; many requests
// wait for one receipt at once, each holding its connection only.
TEST(Fiskald, PrintersFromTheStartAndManyWaits) {
  TempDir dir;
  testing::Pty printer;
  testing::PointPortsAt(1, printer.path());
  Service service(dir);
  const testing::HttpAnswer listed = service.Client().Get("/v1/printers");
  ASSERT_EQ(listed.status, 200);
  const Json printers = Json::parse(listed.body)["printers"];
  ASSERT_EQ(printers.size(), 10u);  // port 0 and the nine the tests point somewhere
  EXPECT_EQ(printers[0]["port"], 0);
  EXPECT_EQ(printers[0]["device"], nullptr);
  EXPECT_EQ(printers[1]["device"], printer.path());

  const std::int64_t id = IdOf(service.Post("k", JsonReceipt(1, 3)));
  ASSERT_GT(id, 0);
  std::vector<std::unique_ptr<testing::RawConnection>> waiting;
  const std::string request = testing::RequestBytes(
      "GET", "/v1/receipts/" + std::to_string(id) + "?wait=120",
      {{"Host", "127.0.0.1:" + std::to_string(service.port())}});
  for (int i = 0; i < 200; ++i) {
    waiting.push_back(std::make_unique<testing::RawConnection>(service.port()));
    ASSERT_TRUE(waiting.back()->Send(request));
  }
  EXPECT_EQ(service.Client().Get("/healthz").status, 200);
  printer.Read(LineBytes(1, 3).size());
  for (auto& c : waiting) {
    const testing::HttpAnswer a = c->Read(kPatience);
    ASSERT_EQ(a.status, 200) << a.error;
    EXPECT_EQ(Json::parse(a.body)["state"], "printed");
  }
}

// fiskal and fiskald on one device take turns: the service waits for the
// port lock the run holds.
TEST(Fiskald, NeverInterleavesWithAFiskalRun) {
  TempDir dir, folder;
  testing::Pty printer;
  testing::PointPortsAt(1, printer.path());
  std::string fiskal_txt = "1;RUN\r\n";
  for (int i = 0; i < 4; ++i) fiskal_txt += "1\tROLL\t1\t100\t100\t\r\n";
  WriteAll(folder.File("fiskal.txt"), fiskal_txt);
  Service service(dir);
  testing::Process run({FISKAL_BINARY}, folder.path());
  // The run holds the port once its first text is recorded.
  const double deadline = testing::MonotonicNow() + kPatience;
  while (::access(folder.File("fiskal.log").c_str(), F_OK) != 0 ||
         ReadAll(folder.File("fiskal.log")).empty()) {
    ASSERT_LT(testing::MonotonicNow(), deadline);
    Nap();
  }
  const std::int64_t id = IdOf(service.Post("k", JsonReceipt(1, 1)));
  EXPECT_EQ(run.Wait().status, 0);
  EXPECT_EQ(service.Get(id, "?wait=120")["state"], "printed");

  Receipt by_fiskal;
  ASSERT_TRUE(PrepareReceipt(fiskal_txt, "fiskal.txt", &by_fiskal).ok());
  std::string expected;
  for (const Text& t : by_fiskal.texts) expected += t.bytes;
  expected += LineBytes(1, 1);
  EXPECT_EQ(printer.Read(expected.size()), expected);
}

// What fiskal refuses is refused with its words, nothing sent or stored;
// the two forms of one receipt leave the transcript fiskal leaves.
TEST(Fiskald, FiskalsRulesAndTranscripts) {
  TempDir dir, folder;
  Service service(dir);
  const std::string refused = "0;THANK YOU\r\n1\tBREAD\t1\t100\t250\t\r\n2 ROLL 1 100 100\r\n";
  WriteAll(folder.File("fiskal.txt"), refused);
  const testing::ProcessResult by_fiskal = testing::RunProcess({FISKAL_BINARY}, folder.path());
  auto res = service.Post("k1", refused, "text/plain");
  ASSERT_TRUE(res);
  EXPECT_EQ(res.status, 422);
  const Json problem = Json::parse(res.body);
  EXPECT_EQ("fiskal: " + problem["detail"].get<std::string>() + "\n", by_fiskal.err);
  EXPECT_EQ(problem["line"], 3);

  // The key stays free; the same receipt in both forms.
  const std::string text = "0;THANK YOU\r\n1\tBREAD\t1\t100\t250\tpcs\t\r\n2\tMILK\t2\t200\t300\tl\t\r\n";
  const std::string json = R"({"port": 0, "footer": "THANK YOU", "items": [
      {"name": "BREAD", "tax": "1", "quantity": "1.00", "price": "2.50"},
      {"name": "MILK", "tax": "2", "quantity": 2, "price": "3"}]})";
  const std::int64_t a = IdOf(service.Post("k1", text, "text/plain; charset=windows-1250"));
  const std::int64_t b = IdOf(service.Post("k2", json));
  ASSERT_TRUE(a > 0 && b > 0);
  EXPECT_EQ(service.Get(a, "?wait=120")["state"], "printed");
  const Json r = service.Get(b, "?wait=120");
  EXPECT_EQ(r["state"], "printed");
  EXPECT_EQ(r["total"], "8.50");
  EXPECT_EQ(r["items"][1], Json({{"number", 2}, {"name", "MILK"}, {"tax_letter", "B"},
                                 {"quantity", "2.00"}, {"price", "3.00"}, {"line_value", "6.00"}}));

  WriteAll(folder.File("fiskal.txt"), text);
  ASSERT_EQ(testing::RunProcess({FISKAL_BINARY}, folder.path()).status, 0);
  testing::HttpClient client = service.Client();
  for (std::int64_t id : {a, b}) {
    auto t = client.Get("/v1/receipts/" + std::to_string(id) + "/transcript");
    ASSERT_TRUE(t);
    EXPECT_EQ(t.body, ReadAll(folder.File("fiskal.log")));
  }
}

TEST(Fiskald, BadRequestsAndIntruders) {
  TempDir dir;
  const std::string token = "0123456789abcdef0123";
  WriteAll(dir.File("token"), token + "\n");
  ASSERT_EQ(::chmod(dir.File("token").c_str(), 0600), 0);
  Service service(dir, {"--token-file", dir.File("token"), "--allow-origin", "https://pos.example"});
  testing::HttpClient client = service.Client();
  const std::string self = "127.0.0.1:" + std::to_string(service.port());
  const testing::Headers bearer = {{"Authorization", "Bearer " + token}};
  auto with = [&](testing::Headers extra) {
    testing::Headers h = bearer;
    h.insert(h.end(), extra.begin(), extra.end());
    return h;
  };
  // A body over the limit is refused from its header alone.
  auto too_large = [&] {
    testing::RawConnection c(service.port());
    testing::Headers h = with({{"Host", self}, {"Idempotency-Key", "l"},
                               {"Content-Type", "text/plain"},
                               {"Content-Length", std::to_string((1 << 20) + 1)}});
    c.Send(testing::RequestBytes("POST", "/v1/receipts", h, "0;"));
    return c.Read();
  };
  const std::string ok = JsonReceipt(0, 0);
  struct Case {
    const char* what;
    testing::HttpAnswer res;
    int status;
  };
  const Case cases[] = {
      {"no token", client.Get("/v1/receipts"), 401},
      {"a wrong token", client.Get("/v1/printers", {{"Authorization", "Bearer " + token + "x"}}),
       401},
      {"health needs none", client.Get("/healthz"), 200},
      {"the right token", client.Get("/v1/printers", bearer), 200},
      {"no key", client.Post("/v1/receipts", ok, "application/json", bearer), 400},
      {"a key too long", client.Post("/v1/receipts", ok, "application/json",
                                     with({{"Idempotency-Key", std::string(256, 'k')}})), 400},
      {"malformed JSON", client.Post("/v1/receipts", "{\"port\":", "application/json",
                                     with({{"Idempotency-Key", "m"}})), 400},
      {"another type", client.Post("/v1/receipts", "<receipt/>", "application/xml",
                                   with({{"Idempotency-Key", "t"}})), 415},
      {"a body too large", too_large(), 413},
      {"a foreign origin", client.Get("/v1/printers", with({{"Origin", "https://evil.example"}})),
       403},
      {"a listed origin", client.Get("/v1/printers", with({{"Origin", "https://pos.example"}})), 200},
      {"a foreign host", client.Get("/v1/printers", with({{"Host", "rebound.example:" +
                                                                      std::to_string(service.port())}})),
       403},
      {"a preflight of a listed origin", client.Options("/v1/receipts", {{"Origin", "https://pos.example"},
                                                                          {"Access-Control-Request-Method", "POST"}}),
       204},
      {"a preflight of another", client.Options("/v1/receipts", {{"Origin", "https://evil.example"}}),
       403},
      {"no such receipt", client.Get("/v1/receipts/999", bearer), 404},
      {"a bad state", client.Get("/v1/receipts?state=lost", bearer), 400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(c.res);
    EXPECT_EQ(c.res.status, c.status) << c.res.body;
    if (c.status >= 400) {
      EXPECT_EQ(c.res.Header("Content-Type"), "application/problem+json");
      EXPECT_FALSE(Json::parse(c.res.body)["detail"].get<std::string>().empty());
    }
  }
  // Refused requests are told in the log, once a minute per kind and
  // client however often they come.
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(client.Get("/v1/printers", with({{"Origin", "https://evil.example"}})).status, 403);
  }
  const std::string log = service.process().ErrSoFar();
  const std::string told =
      "fiskald: refused a request from 127.0.0.1 (GET /v1/printers): 403 requests from the "
      "origin https://evil.example are not allowed; start fiskald with --allow-origin "
      "https://evil.example to allow them\n";
  const std::size_t at = log.find(told);
  EXPECT_NE(at, std::string::npos) << log;
  EXPECT_EQ(log.find(told, at + 1), std::string::npos) << log;
  EXPECT_NE(log.find("fiskald: refused a request from 127.0.0.1 (GET /v1/receipts): 401 "),
            std::string::npos)
      << log;

  // A receipt posted without a body is told what to send; the receipt it
  // shows, posted as it is written there, is taken.
  const testing::HttpAnswer bare =
      client.Post("/v1/receipts", "", "", with({{"Idempotency-Key", "bare"}}));
  EXPECT_EQ(bare.status, 400) << bare.body;
  const std::string shown = Json::parse(bare.body)["detail"];
  const std::size_t from = shown.find('{'), to = shown.rfind('}');
  ASSERT_NE(from, std::string::npos) << shown;
  const testing::HttpAnswer taken =
      client.Post("/v1/receipts", shown.substr(from, to + 1 - from), "application/json",
                  with({{"Idempotency-Key", "as-shown"}}));
  EXPECT_EQ(taken.status, 201) << shown << "\n" << taken.body;
  // The 400 for a missing key came within the minute, so the one for the
  // missing body is not told; a refusal of another route is another kind,
  // told.
  EXPECT_EQ(client.Post("/v1/receipts/1/resolve", "", "", bearer).status, 400);
  const std::string later = service.process().ErrSoFar();
  EXPECT_NE(later.find("(POST /v1/receipts): 400 the header Idempotency-Key is required"),
            std::string::npos)
      << later;
  EXPECT_EQ(later.find("(POST /v1/receipts): 400 a receipt is posted with a body"),
            std::string::npos)
      << later;
  EXPECT_NE(later.find("(POST /v1/receipts/1/resolve): 400 a decision is posted with a body"),
            std::string::npos)
      << later;

  EXPECT_EQ(cases[10].res.Header("Access-Control-Allow-Origin"), "https://pos.example");
  EXPECT_EQ(cases[12].res.Header("Access-Control-Allow-Headers"),
            "Content-Type, Idempotency-Key, Authorization");

  // Refused at start, with one clear line.
  WriteAll(dir.File("open-token"), token);
  ASSERT_EQ(::chmod(dir.File("open-token").c_str(), 0644), 0);
  struct Start {
    std::vector<std::string> argv;
    const char* says;
  };
  const Start starts[] = {
      {{FISKALD_BINARY, "--listen", "0.0.0.0:0"}, "give --token-file too"},
      {{FISKALD_BINARY, "--token-file", dir.File("open-token"), "--listen", "127.0.0.1:0"},
       "other users may read it"},
      {{FISKALD_BINARY, "--allow-origin", "*"}, "no wildcard"},
      {{FISKALD_BINARY, "--bogus"}, "unexpected argument '--bogus'"},
      // A Windows service is for fiskald.exe; here systemd starts fiskald.
      {{FISKALD_BINARY, "--install-service", "--port", "1=/dev/null"},
       "--install-service: a Windows service is for fiskald.exe on Windows"},
      {{FISKALD_BINARY, "--uninstall-service"}, "(systemd: the unit fiskald.service)"},
      {{FISKALD_BINARY, "--as-service"}, "--as-service: a Windows service"},
  };
  for (const Start& s : starts) {
    const testing::ProcessResult r = testing::RunProcess(s.argv, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("fiskald: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(s.says), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  // An option fiskald cannot read is one line that says where to look, not
  // the whole usage.
  for (const std::vector<std::string>& argv :
       std::vector<std::vector<std::string>>{{FISKALD_BINARY, "--bogus"},
                                             {FISKALD_BINARY, "--listen"},
                                             {FISKALD_BINARY, "--hold-minutes", "5m"},
                                             {FISKALD_BINARY, "--broker", "mqtt://h/x"}}) {
    SCOPED_TRACE(argv[1]);
    const testing::ProcessResult r = testing::RunProcess(argv, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    const std::string ending = "; see fiskald --help\n";
    ASSERT_GE(r.err.size(), ending.size()) << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - ending.size()), ending) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
}

// A private key or password file other users may read is refused at start,
// as the token file is (the rule: service/os/private_file.h), naming the
// file, its mode and the chmod that mends it.
TEST(Fiskald, RefusesKeysOthersMayRead) {
  TempDir dir;
  WriteAll(dir.File("open"), "not read: refused first\n");
  ASSERT_EQ(::chmod(dir.File("open").c_str(), 0644), 0);
  const std::string open = dir.File("open");
  const std::vector<std::string> listen = {FISKALD_BINARY, "--listen", "127.0.0.1:0",
                                           "--journal", dir.File("j.db")};
  struct Start {
    std::vector<std::string> args;
    std::string says;
  };
  const Start starts[] = {
      {{"--tls-cert", dir.File("cert.pem"), "--tls-key", open}, "TLS key " + open},
      {{"--broker", "mqtts://127.0.0.1:1", "--shop", "s1", "--broker-cert", dir.File("c.pem"),
        "--broker-key", open},
       "broker key " + open},
      {{"--broker", "mqtt://127.0.0.1:1", "--shop", "s1", "--broker-user", "shop",
        "--broker-password-file", open},
       "broker password file " + open},
  };
  for (const Start& s : starts) {
    std::vector<std::string> argv = listen;
    argv.insert(argv.end(), s.args.begin(), s.args.end());
    const testing::ProcessResult r = testing::RunProcess(argv, dir.path());
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("fiskald: " + s.says +
                         ": other users may read it (mode 0644); take their access away: "
                         "chmod o= " + open),
              std::string::npos)
        << r.err;
  }
}

// The receipts left sending are said before they are marked in_doubt, so
// no moment of a kill loses the line: a start that cannot commit the marks
// (another writer holds the journal) has said it already and leaves the
// receipt sending, and the next start says it again and marks it.
TEST(Fiskald, SaysTheReceiptsLeftSendingBeforeMarkingThemInDoubt) {
  TempDir dir;
  const std::string path = dir.File("fiskald.db");
  std::int64_t id = 0;
  {
    std::unique_ptr<service::Journal> journal;
    ASSERT_TRUE(service::Journal::Open(path, service::SystemWallClock(), &journal).ok());
    service::NewReceipt r;
    r.idempotency_key = "left-sending";
    r.body_sha256 = std::string(32, 'h');
    r.texts = {{"ver.:0.6a", "version text", false, false},
               {"\x1bP0;0$h88\x1b\\", "begin frame", true, false}};
    bool duplicate = false;
    ASSERT_TRUE(journal->Accept(r, {}, &id, &duplicate).ok());
    ASSERT_TRUE(journal->MarkSending(id).ok());
  }
  const std::string said =
      "fiskald: 1 receipt(s) were being sent when fiskald stopped; they are in_doubt";

  sqlite3* writer = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &writer), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(writer, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  const testing::ProcessResult held = testing::RunProcess(
      {FISKALD_BINARY, "--listen", "127.0.0.1:0", "--journal", path}, dir.path());
  sqlite3_exec(writer, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(writer);
  EXPECT_EQ(held.status, 1) << held.err;
  EXPECT_EQ(held.err.rfind(said, 0), 0u) << held.err;
  EXPECT_EQ(held.err.find("listening"), std::string::npos) << held.err;

  Service service(dir);
  EXPECT_EQ(service.process().ErrSoFar().rfind(said, 0), 0u) << service.process().ErrSoFar();
  EXPECT_EQ(service.Get(id)["state"], "in_doubt");
  EXPECT_EQ(service.Stop().status, 0);
}

// The three programs print the one version text the printer receives.
TEST(Fiskald, EveryProgramPrintsTheVersionText) {
  TempDir dir;
  const std::pair<const char*, const char*> programs[] = {
      {FISKAL_BINARY, "fiskal"}, {FISKAL_PRINTER_BINARY, "fiskal-printer"},
      {FISKALD_BINARY, "fiskald"}};
  for (const auto& [binary, name] : programs) {
    const testing::ProcessResult r = testing::RunProcess({binary, "--version"}, dir.path());
    EXPECT_EQ(r.status, 0) << name;
    EXPECT_EQ(r.out, std::string(name) + " ver.:0.6a\n");
    EXPECT_EQ(r.err, "") << name;
  }
}

// READY=1 reaches the service manager's socket once fiskald listens.
TEST(Fiskald, TellsTheServiceManagerItIsReady) {
  TempDir dir;
  const std::string path = dir.File("notify");
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof address.sun_path);
  path.copy(address.sun_path, path.size());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
  Service service(dir);
  ::unsetenv("NOTIFY_SOCKET");
  timeval patience{static_cast<time_t>(kPatience), 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  char message[512] = {};
  const ssize_t n = ::recv(fd, message, sizeof message - 1, 0);
  ::close(fd);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(message, n).rfind("READY=1\n", 0), 0u) << message;
  EXPECT_NE(std::string(message, n).find(std::to_string(service.port())), std::string::npos);
  EXPECT_EQ(service.Stop().status, 0);
}

}  // namespace
}  // namespace fiskal

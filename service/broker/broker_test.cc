// fiskald and a real broker: the system's mosquitto or ejabberd on loopback
// ports the system gives, fiskald taking receipts from it, and a chain's
// server (a test client) publishing them and reading the answers. What
// holds for any MQTT 5 broker runs against both (BrokerKinds); what only
// one shows is tested against that one.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "testing/ejabberd.h"
#include "testing/fiskald.h"
#include "testing/mosquitto.h"
#include "testing/mqtt_client.h"
#include "testing/ports.h"
#include "testing/process.h"
#include "testing/temp_dir.h"

namespace fiskal {
namespace {

using Json = nlohmann::json;
using testing::MqttConnect;
using testing::MqttMessage;
using testing::MqttTestClient;
using testing::ReadAll;
using testing::TempDir;
using testing::TestBroker;
using testing::TestEjabberd;
using testing::WriteAll;
using Service = testing::Fiskald;

const std::string kText =
    "0;THANK YOU\r\n1\tBREAD\t1\t100\t250\tpcs\t\r\n2\tMILK\t2\t200\t300\tl\t\r\n";
const std::string kAnswers = "fiskal/A/answers/till-1";

std::string JsonReceipt(int items) {
  Json r = {{"port", 0}, {"footer", "THANKS"}, {"items", Json::array()}};
  for (int i = 0; i < items; ++i) {
    r["items"].push_back({{"name", "ITEM " + std::to_string(i + 1)},
                          {"tax", "1"},
                          {"quantity", "1.00"},
                          {"price", "1.50"}});
  }
  return r.dump();
}

MqttMessage Request(const std::string& key, const std::string& body,
                    const std::string& type = "application/json") {
  MqttMessage m;
  m.topic = "fiskal/A/receipts";
  m.payload = body;
  m.content_type = type;
  m.correlation_data = key;
  m.response_topic = kAnswers;
  m.qos = 1;
  return m;
}

std::string StateOf(const MqttMessage& m) {
  for (const auto& [name, value] : m.user_properties) {
    if (name == "state") return value;
  }
  return "";
}

bool IsFinal(const std::string& state) {
  return state == "printed" || state == "not_sent" || state == "cut" || state == "in_doubt";
}

enum class BrokerKind { kMosquitto, kEjabberd };

std::string KindName(const ::testing::TestParamInfo<BrokerKind>& info) {
  return info.param == BrokerKind::kMosquitto ? "Mosquitto" : "Ejabberd";
}

// GET /v1/broker once fiskald has said why the broker refused it (or the
// patience ran out: the caller's check of last_error fails then).
Json StateOnceRefused(Service& fiskald) {
  Json state;
  const double deadline = testing::MonotonicNow() + testing::kPatience;
  while (testing::MonotonicNow() < deadline) {
    auto got = fiskald.Client().Get("/v1/broker");
    if (!got) break;
    state = Json::parse(got.body);
    if (state["last_error"].is_string()) break;
    usleep(50'000);
  }
  return state;
}

// A shop: the broker, fiskald connected to it as shop A, and the chain's
// server subscribed to the shop's answers.
struct Shop {
  explicit Shop(std::vector<std::string> extra = {}, const testing::BrokerOptions& options = {})
      : Shop(BrokerKind::kMosquitto, std::move(extra), options) {}
  explicit Shop(BrokerKind kind, std::vector<std::string> extra = {},
                const testing::BrokerOptions& options = {},
                const testing::EjabberdOptions& ejabberd_options = {}) {
    if (kind == BrokerKind::kMosquitto) {
      broker = TestBroker::StartOrFail(broker_dir, options);
    } else {
      broker = TestEjabberd::StartOrFail(broker_dir, ejabberd_options);
    }
    ConnectChain();
    if (extra.empty()) extra = broker->FiskaldOptions("A", "A");
    fiskald = std::make_unique<Service>(dir, extra);
  }

  // The broker as mosquitto, for what only it has (TLS by certificate, a
  // password listener).
  TestBroker& mosquitto() { return dynamic_cast<TestBroker&>(*broker); }

  // The chain's server, subscribed to everything of shop A (again after
  // the broker restarted); with `keep_session`, what is published while it
  // is away waits for it at the broker.
  void ConnectChain(bool keep_session = false) {
    MqttConnect how = broker->As("chain", "chain-server");
    how.clean_start = !keep_session;
    how.session_expiry = keep_session ? 600 : 0;
    EXPECT_EQ(chain.Connect(how).reason_code, 0);
    EXPECT_EQ(chain.Subscribe("fiskal/A/#", 1).reason_code, 1);
  }

  // Waits for the retained presence saying fiskald is online: it has
  // subscribed by then.
  Json WaitOnline() {
    for (;;) {
      std::optional<MqttMessage> m = chain.Next();
      if (!m) return nullptr;
      if (m->topic == "fiskal/A/status") {
        Json p = Json::parse(m->payload);
        if (p["online"] == true) return p;
      }
    }
  }

  // The next answer (on the answer topics), skipping presence and the
  // requests themselves.
  std::optional<MqttMessage> NextAnswer(double seconds = testing::kBrokerPatience) {
    for (;;) {
      std::optional<MqttMessage> m = chain.Next(seconds);
      if (!m || (m->topic != "fiskal/A/status" && m->topic != "fiskal/A/receipts")) return m;
    }
  }

  // Answers for `key` until a final state or a problem; their states (or
  // "problem <status>").
  std::vector<std::string> AnswersUntilFinal(const std::string& key, Json* last = nullptr) {
    std::vector<std::string> states;
    for (;;) {
      std::optional<MqttMessage> m = NextAnswer();
      if (!m) {
        states.push_back("no answer");
        return states;
      }
      if (m->correlation_data != key) continue;
      const Json body = Json::parse(m->payload);
      if (last != nullptr) *last = body;
      if (m->content_type == "application/problem+json") {
        states.push_back("problem " + std::to_string(body["status"].get<int>()));
        return states;
      }
      EXPECT_EQ(m->content_type, "application/json");
      EXPECT_EQ(body["state"], StateOf(*m));
      states.push_back(StateOf(*m));
      if (IsFinal(states.back())) return states;
    }
  }

  ~Shop() {
    if (::testing::Test::HasFailure()) {
      std::cerr << "broker's log:\n" << broker->log() << "fiskald's:\n"
                << (fiskald ? fiskald->process().ErrSoFar() : std::string()) << "\n";
    }
  }

  Json Receipts() {
    auto res = fiskald->Client().Get("/v1/receipts?limit=1000");
    return res ? Json::parse(res.body)["receipts"] : Json();
  }

  TempDir broker_dir;
  TempDir dir;
  std::unique_ptr<testing::MqttBroker> broker;
  MqttTestClient chain;
  std::unique_ptr<Service> fiskald;
};

class AnyBroker : public ::testing::TestWithParam<BrokerKind> {};
INSTANTIATE_TEST_SUITE_P(Broker, AnyBroker,
                         ::testing::Values(BrokerKind::kMosquitto, BrokerKind::kEjabberd),
                         KindName);

// A published receipt prints once, as fiskal prints it; its answers come
// in order; published again it is answered with the same receipt.
TEST_P(AnyBroker, PublishedReceiptPrintsOnceWithItsAnswersInOrder) {
  Shop shop(GetParam());
  const Json presence = shop.WaitOnline();
  ASSERT_FALSE(presence.is_null());
  EXPECT_EQ(presence["printers"][0]["port"], 0);

  ASSERT_EQ(shop.chain.Publish(Request("sale-1", kText, "text/plain; charset=windows-1250"))
                .reason_code,
            0);
  Json last;
  EXPECT_EQ(shop.AnswersUntilFinal("sale-1", &last),
            (std::vector<std::string>{"queued", "sending", "printed"}));
  const std::int64_t id = last["id"];

  TempDir folder;
  WriteAll(folder.File("fiskal.txt"), kText);
  ASSERT_EQ(testing::RunProcess({FISKAL_BINARY}, folder.path()).status, 0);
  auto transcript = shop.fiskald->Client().Get("/v1/receipts/" + std::to_string(id) + "/transcript");
  ASSERT_TRUE(transcript);
  EXPECT_EQ(transcript.body, ReadAll(folder.File("fiskal.log")));

  // Again under its key: the stored receipt, nothing printed again.
  ASSERT_EQ(shop.chain.Publish(Request("sale-1", kText, "text/plain")).reason_code, 0);
  EXPECT_EQ(shop.AnswersUntilFinal("sale-1"), (std::vector<std::string>{"printed"}));
  EXPECT_EQ(shop.Receipts().size(), 1u);

  auto b = shop.fiskald->Client().Get("/v1/broker");
  ASSERT_TRUE(b);
  const Json state = Json::parse(b.body);
  EXPECT_EQ(state["connected"], true);
  EXPECT_EQ(state["shop"], "A");
  EXPECT_TRUE(state["last_error"].is_null()) << state.dump();
  // mosquitto keeps the session as long as asked (7 days by default).
  EXPECT_EQ(state["session_expiry_asked"], 7 * 24 * 3600);
  EXPECT_EQ(state["session_expiry_granted"], 7 * 24 * 3600);
  EXPECT_NE(shop.fiskald->process().ErrSoFar().find("the broker keeps fiskald's session for "
                                                     "604800 s, as asked"),
            std::string::npos);
}

// Receipts published while fiskald is away wait at the broker in its
// session and print once when it is back; keys are one namespace with
// HTTP.
TEST_P(AnyBroker, WaitsAtTheBrokerAndSharesKeysWithHttp) {
  Shop shop(GetParam());
  ASSERT_FALSE(shop.WaitOnline().is_null());
  ASSERT_EQ(shop.fiskald->Stop().status, 0);

  ASSERT_EQ(shop.chain.Publish(Request("away-1", JsonReceipt(1))).reason_code, 0);
  shop.fiskald->Start();
  EXPECT_EQ(shop.AnswersUntilFinal("away-1"),
            (std::vector<std::string>{"queued", "sending", "printed"}));

  // Over HTTP first, then over the broker: one receipt.
  auto posted = shop.fiskald->Post("both-1", JsonReceipt(2), "application/json", "?wait=60");
  ASSERT_TRUE(posted);
  ASSERT_EQ(posted.status, 201);
  ASSERT_EQ(shop.chain.Publish(Request("both-1", JsonReceipt(2))).reason_code, 0);
  Json answer;
  EXPECT_EQ(shop.AnswersUntilFinal("both-1", &answer), (std::vector<std::string>{"printed"}));
  EXPECT_EQ(answer["id"], Json::parse(posted.body)["id"]);
  // The key with another body.
  ASSERT_EQ(shop.chain.Publish(Request("both-1", JsonReceipt(3))).reason_code, 0);
  EXPECT_EQ(shop.AnswersUntilFinal("both-1", &answer), (std::vector<std::string>{"problem 422"}));
  EXPECT_EQ(answer["receipt"], Json::parse(posted.body)["id"]);
  EXPECT_EQ(shop.Receipts().size(), 2u);
}

// A receipt that ends while the broker is away: fiskald stays answering,
// connects again once the broker is back, and publishes the answer that
// waited in its outbox (its thread once locked itself up there).
TEST(Broker, AnAnswerMadeWhileTheBrokerIsAwayGoesOutWhenItIsBack) {
  Shop shop;
  shop.chain.Disconnect();
  shop.ConnectChain(/*keep_session=*/true);
  ASSERT_FALSE(shop.WaitOnline().is_null());
  // 6 items take 3 s or more: time to take the broker away meanwhile.
  ASSERT_EQ(shop.chain.Publish(Request("late-1", JsonReceipt(6))).reason_code, 0);
  std::int64_t id = 0;
  for (std::string state; state != "sending";) {
    std::optional<MqttMessage> m = shop.NextAnswer();
    ASSERT_TRUE(m) << "no answer";
    state = StateOf(*m);
    id = Json::parse(m->payload)["id"];
  }
  ASSERT_TRUE(shop.broker->Stop().ok());

  auto ended = shop.fiskald->Client().Get("/v1/receipts/" + std::to_string(id) + "?wait=60");
  ASSERT_TRUE(ended);
  EXPECT_EQ(Json::parse(ended.body)["state"], "printed");
  auto away = shop.fiskald->Client().Get("/v1/broker");
  ASSERT_TRUE(away) << "GET /v1/broker was not answered while the broker was away";
  EXPECT_EQ(Json::parse(away.body)["connected"], false);

  ASSERT_TRUE(shop.broker->Restart().ok()) << shop.broker->log();
  shop.ConnectChain(/*keep_session=*/true);
  const std::vector<std::string> states = shop.AnswersUntilFinal("late-1");
  EXPECT_EQ(states.back(), "printed");
  auto back = shop.fiskald->Client().Get("/v1/broker");
  ASSERT_TRUE(back);
  EXPECT_EQ(Json::parse(back.body)["connected"], true);
}

// A receipt whose message expires before its turn never prints: the
// broker drops it unsent, and fiskald ends one it holds not_sent.
TEST(Broker, AnExpiredReceiptNeverPrints) {
  Shop shop;
  ASSERT_FALSE(shop.WaitOnline().is_null());
  // 12 items take at least 6 s (a pause after each): the next one waits
  // behind them longer than its 1 s.
  ASSERT_EQ(shop.chain.Publish(Request("long-1", JsonReceipt(12))).reason_code, 0);
  MqttMessage soon = Request("soon-1", JsonReceipt(1));
  soon.message_expiry = 1;
  ASSERT_EQ(shop.chain.Publish(soon).reason_code, 0);
  Json last;
  EXPECT_EQ(shop.AnswersUntilFinal("soon-1", &last),
            (std::vector<std::string>{"queued", "not_sent"}));
  EXPECT_NE(last["message"].get<std::string>().find("deadline"), std::string::npos)
      << last.dump();
  EXPECT_EQ(last["texts_sent"], 0);

  ASSERT_EQ(shop.fiskald->Stop().status, 0);
  MqttMessage gone = Request("gone-1", JsonReceipt(1));
  gone.message_expiry = 1;
  ASSERT_EQ(shop.chain.Publish(gone).reason_code, 0);
  sleep(2);
  shop.fiskald->Start();
  ASSERT_FALSE(shop.WaitOnline().is_null());
  ASSERT_EQ(shop.chain.Publish(Request("after-1", JsonReceipt(1))).reason_code, 0);
  EXPECT_EQ(shop.AnswersUntilFinal("after-1"),
            (std::vector<std::string>{"queued", "sending", "printed"}));
  for (const Json& r : shop.Receipts()) EXPECT_NE(r["idempotency_key"], "gone-1");
}

// The user property deadline is the receipt's own deadline, checked by
// fiskald's clock: one already passed ends it not_sent with nothing sent,
// a malformed one is answered with a problem. Under a key, the same
// receipt in its other form is answered with it, another is refused naming
// it.
TEST(Broker, ADeadlineOfItsOwnAndTheSameReceiptInAnotherForm) {
  Shop shop;
  ASSERT_FALSE(shop.WaitOnline().is_null());
  for (const char* type : {"text/plain", "application/json"}) {
    SCOPED_TRACE(type);
    const std::string key = std::string("past-") + type;
    MqttMessage past = Request(key, type == std::string("text/plain") ? kText : JsonReceipt(1), type);
    past.user_properties = {{"deadline", "2001-02-03T04:05:06+01:00"}};
    ASSERT_EQ(shop.chain.Publish(past).reason_code, 0);
    Json last;
    EXPECT_EQ(shop.AnswersUntilFinal(key, &last),
              (std::vector<std::string>{"queued", "not_sent"}));
    EXPECT_EQ(last["texts_sent"], 0);
    EXPECT_EQ(last["deadline"], "2001-02-03T03:05:06.000Z");
    EXPECT_NE(last["message"].get<std::string>().find("deadline"), std::string::npos);
  }
  MqttMessage bad = Request("bad-deadline", JsonReceipt(1));
  bad.user_properties = {{"deadline", "tomorrow"}};
  ASSERT_EQ(shop.chain.Publish(bad).reason_code, 0);
  Json problem;
  EXPECT_EQ(shop.AnswersUntilFinal("bad-deadline", &problem),
            (std::vector<std::string>{"problem 400"}));
  EXPECT_NE(problem["detail"].get<std::string>().find("the user property deadline \"tomorrow\""),
            std::string::npos)
      << problem.dump();

  ASSERT_EQ(shop.chain.Publish(Request("sale-2", JsonReceipt(1))).reason_code, 0);
  Json printed;
  EXPECT_EQ(shop.AnswersUntilFinal("sale-2", &printed),
            (std::vector<std::string>{"queued", "sending", "printed"}));
  ASSERT_EQ(shop.chain.Publish(Request("sale-2", "0;THANKS\r\n1\tITEM 1\t1\t100\t150\t\r\n",
                                       "text/plain"))
                .reason_code,
            0);
  Json again;
  EXPECT_EQ(shop.AnswersUntilFinal("sale-2", &again), (std::vector<std::string>{"printed"}));
  EXPECT_EQ(again["id"], printed["id"]);
  ASSERT_EQ(shop.chain.Publish(Request("sale-2", JsonReceipt(2))).reason_code, 0);
  EXPECT_EQ(shop.AnswersUntilFinal("sale-2", &problem), (std::vector<std::string>{"problem 422"}));
  EXPECT_EQ(problem["receipt"], printed["id"]);
  EXPECT_EQ(shop.Receipts().size(), 3u);
}

// Messages that are not receipts get a problem answer, are acknowledged,
// store nothing, and fiskald goes on.
TEST_P(AnyBroker, BadMessagesAreAnsweredAndNothingIsStored) {
  Shop shop(GetParam());
  ASSERT_FALSE(shop.WaitOnline().is_null());
  struct Case {
    const char* what;
    MqttMessage message;
    int status;
    std::string answer_topic;
  };
  MqttMessage no_type = Request("bad-1", JsonReceipt(1));
  no_type.content_type.reset();
  MqttMessage no_key = Request("", JsonReceipt(1));
  no_key.correlation_data.reset();
  MqttMessage huge = Request("bad-3", std::string(2 << 20, 'x'), "text/plain");
  MqttMessage malformed = Request("bad-4", R"({"port": 0, "items": [)");
  MqttMessage long_key = Request(std::string(256, 'k'), JsonReceipt(1));
  MqttMessage elsewhere = Request("bad-6", JsonReceipt(1));
  elsewhere.response_topic = "fiskal/B/answers";
  MqttMessage duplicate = Request("bad-7", R"({"port": 0, "port": 1, "items": []})");
  const std::vector<Case> cases = {
      {"no content type", no_type, 415, kAnswers},
      {"no correlation data", no_key, 400, kAnswers},
      {"2 MiB", huge, 413, kAnswers},
      {"malformed JSON", malformed, 400, kAnswers},
      {"a 256-byte key", long_key, 400, kAnswers},
      {"a response topic of another shop", elsewhere, 400, "fiskal/A/states"},
      {"a duplicate member", duplicate, 400, kAnswers},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(shop.chain.Publish(c.message).reason_code, 0);
    std::optional<MqttMessage> answer = shop.NextAnswer();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->topic, c.answer_topic);
    EXPECT_EQ(answer->content_type, "application/problem+json");
    EXPECT_EQ(answer->correlation_data, c.message.correlation_data);
    EXPECT_EQ(Json::parse(answer->payload)["status"], c.status) << answer->payload;
  }
  EXPECT_EQ(shop.Receipts().size(), 0u);
  ASSERT_EQ(shop.chain.Publish(Request("good-1", JsonReceipt(1))).reason_code, 0);
  EXPECT_EQ(shop.AnswersUntilFinal("good-1"),
            (std::vector<std::string>{"queued", "sending", "printed"}));
}

// The broker restarts while a receipt waits there for fiskald. Mosquitto
// keeps the session and the message on disk: it prints once fiskald is
// back. ejabberd keeps them in memory only: the message is gone (a receipt
// published after it finds nothing before it), and the chain, having no
// answer, publishes again under the same key: it prints once.
TEST_P(AnyBroker, ABrokerRestartKeepsTheReceiptOrTheChainPublishesItAgain) {
  Shop shop(GetParam());
  ASSERT_FALSE(shop.WaitOnline().is_null());
  ASSERT_EQ(shop.fiskald->Stop().status, 0);
  ASSERT_EQ(shop.chain.Publish(Request("away-1", JsonReceipt(1))).reason_code, 0);
  ASSERT_TRUE(shop.broker->Restart().ok()) << shop.broker->log();
  shop.ConnectChain();
  shop.fiskald->Start();
  ASSERT_FALSE(shop.WaitOnline().is_null());
  if (shop.broker->keeps_sessions()) {
    EXPECT_EQ(shop.AnswersUntilFinal("away-1"),
              (std::vector<std::string>{"queued", "sending", "printed"}));
  } else {
    // One session delivers in order: a message kept would come first.
    ASSERT_EQ(shop.chain.Publish(Request("after-1", JsonReceipt(1))).reason_code, 0);
    EXPECT_EQ(shop.AnswersUntilFinal("after-1"),
              (std::vector<std::string>{"queued", "sending", "printed"}));
    ASSERT_EQ(shop.Receipts().size(), 1u) << "ejabberd kept a message across its restart";
    ASSERT_EQ(shop.chain.Publish(Request("away-1", JsonReceipt(1))).reason_code, 0);
    EXPECT_EQ(shop.AnswersUntilFinal("away-1"),
              (std::vector<std::string>{"queued", "sending", "printed"}));
  }
  // Once more under the key, as a chain does that missed the answer.
  ASSERT_EQ(shop.chain.Publish(Request("away-1", JsonReceipt(1))).reason_code, 0);
  EXPECT_EQ(shop.AnswersUntilFinal("away-1"), (std::vector<std::string>{"printed"}));
  int with_key = 0;
  for (const Json& r : shop.Receipts()) with_key += r["idempotency_key"] == "away-1" ? 1 : 0;
  EXPECT_EQ(with_key, 1);
}

// fiskald killed (SIGKILL) again and again while receipts flow: every key
// is one receipt, ended printed or, killed in the middle, in_doubt; the
// chain sees a final answer for each.
TEST_P(AnyBroker, KilledAgainAndAgainEachKeyIsOneReceipt) {
  Shop shop(GetParam());
  ASSERT_FALSE(shop.WaitOnline().is_null());
  std::map<std::string, std::string> final_state;  // key: its final state, "" before
  auto take = [&](const MqttMessage& m) {
    if (!m.correlation_data || m.content_type != "application/json") return;
    const std::string state = StateOf(m);
    if (IsFinal(state)) final_state[*m.correlation_data] = state;
  };
  constexpr int kRounds = 3;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::string first = "loop-" + std::to_string(round) + "-a";
    for (const std::string& key : {first, "loop-" + std::to_string(round) + "-b"}) {
      final_state.emplace(key, "");
      ASSERT_EQ(shop.chain.Publish(Request(key, JsonReceipt(2))).reason_code, 0);
    }
    // Killed once the first of them is on its way to the printer.
    for (bool sending = false; !sending;) {
      std::optional<MqttMessage> m = shop.NextAnswer();
      ASSERT_TRUE(m) << "no answer";
      take(*m);
      sending = m->correlation_data == first && StateOf(*m) == "sending";
    }
    shop.fiskald->Kill();
    shop.fiskald->Start();
  }
  auto unfinished = [&] {
    for (const auto& [key, state] : final_state) {
      if (state.empty()) return true;
    }
    return false;
  };
  while (unfinished()) {
    std::optional<MqttMessage> m = shop.NextAnswer();
    ASSERT_TRUE(m) << "no final answer for every key: " << shop.Receipts().dump();
    take(*m);
  }
  const Json receipts = shop.Receipts();
  EXPECT_EQ(receipts.size(), final_state.size());
  for (const auto& [key, state] : final_state) {
    SCOPED_TRACE(key);
    int with_key = 0;
    for (const Json& r : receipts) {
      if (r["idempotency_key"] != key) continue;
      ++with_key;
      EXPECT_EQ(r["state"], state);
    }
    EXPECT_EQ(with_key, 1);
    EXPECT_TRUE(state == "printed" || state == "in_doubt") << state;
  }
}

// Killed while it takes a message, before or after the commit (where the
// build of fiskald made for tests stops itself): the broker has no
// acknowledgement, delivers it again, and it prints once.
TEST(Broker, KilledWhileTakingAMessagePrintsItOnce) {
  for (const char* where : {"before", "after"}) {
    SCOPED_TRACE(where);
    Shop shop;
    ASSERT_FALSE(shop.WaitOnline().is_null());
    shop.fiskald->Stop();
    testing::FiskaldTestPoints points;
    points.stop_in_arrival = where;
    shop.fiskald->UseTestBuild(points);
    shop.fiskald->Start();
    shop.fiskald->UseTestBuild(std::nullopt);
    ASSERT_FALSE(shop.WaitOnline().is_null());
    ASSERT_EQ(shop.chain.Publish(Request("kill-1", JsonReceipt(1))).reason_code, 0);
    // It stops itself there; it is killed so.
    const double deadline = testing::MonotonicNow() + testing::kPatience;
    while (shop.fiskald->process().ErrSoFar().find("stopped " + std::string(where)) ==
               std::string::npos &&
           testing::MonotonicNow() < deadline) {
      usleep(20'000);
    }
    ASSERT_NE(shop.fiskald->process().ErrSoFar().find("stopped"), std::string::npos);
    shop.fiskald->Kill();
    shop.fiskald->Start();
    std::vector<std::string> states = shop.AnswersUntilFinal("kill-1");
    ASSERT_FALSE(states.empty());
    const Json receipts = shop.Receipts();
    ASSERT_EQ(receipts.size(), 1u);
    EXPECT_EQ(receipts[0]["state"], states.back());
    if (std::string(where) == "before") {
      EXPECT_EQ(states.back(), "printed");
    } else {
      // Stored, and queued at once: its port may have begun it before the
      // kill, and then it is in_doubt, never sent again.
      EXPECT_TRUE(states.back() == "printed" || states.back() == "in_doubt") << states.back();
    }
  }
}

// Killed while it sends a receipt taken through the broker: the next start
// marks it in_doubt, and the chain hears that under the receipt's
// correlation data without publishing it again.
TEST(Broker, KilledWhileSendingIsAnsweredInDoubt) {
  Shop shop;
  ASSERT_FALSE(shop.WaitOnline().is_null());
  // 12 items take at least 6 s (a pause after each): it is killed well
  // inside them.
  ASSERT_EQ(shop.chain.Publish(Request("doubt-1", JsonReceipt(12))).reason_code, 0);
  std::vector<std::string> before;
  while (before.empty() || before.back() == "queued") {
    std::optional<MqttMessage> m = shop.NextAnswer();
    ASSERT_TRUE(m) << "no answer";
    ASSERT_EQ(m->correlation_data, "doubt-1");
    before.push_back(StateOf(*m));
  }
  ASSERT_EQ(before, (std::vector<std::string>{"queued", "sending"}));
  shop.fiskald->Kill();
  shop.fiskald->Start();
  // The answers the broker had not acknowledged before the kill may come
  // again first (at least once, in order); then in_doubt.
  Json last;
  const std::vector<std::string> after = shop.AnswersUntilFinal("doubt-1", &last);
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(after.back(), "in_doubt");
  for (std::size_t i = 0; i + 1 < after.size(); ++i) {
    EXPECT_TRUE(after[i] == "queued" || after[i] == "sending") << after[i];
  }
  EXPECT_EQ(last["idempotency_key"], "doubt-1");
  const Json receipts = shop.Receipts();
  ASSERT_EQ(receipts.size(), 1u);
  EXPECT_EQ(receipts[0]["state"], "in_doubt");
}

// Fills the file system of `dir` (as the process `pid` sees it, in its own
// mount namespace) with a file "filler"; false when it could not.
bool FillUp(pid_t pid, const std::string& dir) {
  const std::string path = "/proc/" + std::to_string(pid) + "/root" + dir + "/filler";
  FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  const std::string chunk(4096, 'x');
  std::size_t written = 0;
  while (std::fwrite(chunk.data(), 1, chunk.size(), f) == chunk.size() && written < (64u << 20)) {
    written += chunk.size();
  }
  // Full up to the last byte too.
  while (std::fwrite("x", 1, 1, f) == 1 && std::fflush(f) == 0) {
  }
  std::fclose(f);
  return written < (64u << 20);
}

// A message whose receipt cannot be stored (the journal's file system is
// full), nor its refusal: it is not acknowledged, so the broker keeps it;
// fiskald says why in the log and in /v1/broker, and once there is room
// again the broker delivers it again and it prints once, answered.
TEST(Broker, AMessageNotStoredIsNotAcknowledged) {
  if (::geteuid() != 0) GTEST_SKIP() << "a file system of the test's own needs root";
  Shop shop;
  ASSERT_FALSE(shop.WaitOnline().is_null());
  ASSERT_EQ(shop.fiskald->Stop().status, 0);
  // The journal on a small tmpfs, mounted in a mount namespace of
  // fiskald's own: it goes with fiskald, whatever becomes of the test.
  TempDir small;
  shop.fiskald = std::make_unique<Service>(
      small, std::vector<std::string>{"--broker", shop.broker->url(), "--shop", "A"},
      std::vector<std::string>{"unshare", "--mount", "--propagation", "private", "sh", "-c",
                               std::string("mount -t tmpfs -o size=4m,mode=0700 fiskald-test "
                                           "\"$0\" && exec \"$@\""),
                               small.path()});
  ASSERT_FALSE(shop.WaitOnline().is_null());
  ASSERT_EQ(shop.chain.Publish(Request("room-1", JsonReceipt(1))).reason_code, 0);
  EXPECT_EQ(shop.AnswersUntilFinal("room-1"),
            (std::vector<std::string>{"queued", "sending", "printed"}));

  ASSERT_TRUE(FillUp(shop.fiskald->process().pid(), small.path()));
  ASSERT_EQ(shop.chain.Publish(Request("full-1", JsonReceipt(1))).reason_code, 0);
  Json state;
  const double deadline = testing::MonotonicNow() + testing::kPatience;
  while (testing::MonotonicNow() < deadline) {
    auto b = shop.fiskald->Client().Get("/v1/broker");
    ASSERT_TRUE(b);
    state = Json::parse(b.body);
    if (state["last_error"].is_string() &&
        state["last_error"].get<std::string>().find("unacknowledged") != std::string::npos) {
      break;
    }
    usleep(50'000);
  }
  ASSERT_TRUE(state["last_error"].is_string()) << state.dump();
  const std::string error = state["last_error"];
  EXPECT_NE(error.find("unacknowledged"), std::string::npos) << error;
  EXPECT_NE(error.find("full"), std::string::npos) << error;  // SQLite's words
  EXPECT_NE(shop.fiskald->process().ErrSoFar().find(error), std::string::npos);
  EXPECT_EQ(shop.Receipts().size(), 1u);  // room-1 only

  // Room again: the broker delivers it on a later connection.
  ASSERT_EQ(::unlink(("/proc/" + std::to_string(shop.fiskald->process().pid()) + "/root" +
                      small.path() + "/filler")
                         .c_str()),
            0);
  EXPECT_EQ(shop.AnswersUntilFinal("full-1"),
            (std::vector<std::string>{"queued", "sending", "printed"}));
  const Json receipts = shop.Receipts();
  ASSERT_EQ(receipts.size(), 2u);
  EXPECT_EQ(receipts[0]["idempotency_key"], "full-1");
  EXPECT_EQ(receipts[0]["state"], "printed");
  EXPECT_EQ(shop.fiskald->Stop().status, 0);
}

// TLS: a broker whose CA fiskald does not trust is refused, and says why;
// shop A's certificate does not reach shop B's topics, and fiskald says
// it is not authorised. Both keep trying and show it in /v1/broker.
TEST(Broker, TlsRefusalsAreClearAndKept) {
  struct Case {
    const char* what;
    bool other_ca;
    std::string shop;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"an unknown CA", true, "A", "certificate verify failed"},
      // The access hint: the topics a shop needs, the identity the
      // broker saw.
      {"another shop's topics", false, "B",
       "Not authorized (0x87); the broker's access list does not let this client"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir broker_dir, dir;
    testing::BrokerOptions options;
    options.other_ca_server = c.other_ca;
    auto broker = TestBroker::StartOrFail(broker_dir, options);
    Service fiskald(dir, {"--broker", broker->tls_url(), "--shop", c.shop, "--broker-ca",
                          broker->ca_file(), "--broker-cert", broker->cert_file("A"),
                          "--broker-key", broker->key_file("A")});
    const Json state = StateOnceRefused(fiskald);
    ASSERT_TRUE(state["last_error"].is_string()) << state.dump();
    EXPECT_NE(state["last_error"].get<std::string>().find(c.expected), std::string::npos)
        << state.dump();
    EXPECT_NE(fiskald.process().ErrSoFar().find(c.expected), std::string::npos);
    auto metrics = fiskald.Client().Get("/metrics");
    ASSERT_TRUE(metrics);
    EXPECT_NE(metrics.body.find("fiskald_broker_errors_total"), std::string::npos);
    if (c.shop == "B") {
      const std::string error = state["last_error"];
      EXPECT_NE(error.find("a shop needs fiskal/B/#"), std::string::npos) << error;
      EXPECT_NE(error.find("the broker saw the client certificate CN=A"), std::string::npos)
          << error;
      EXPECT_NE(error.find("client id fiskald-B"), std::string::npos) << error;
      EXPECT_NE(metrics.body.find("fiskald_broker_refusals_total{step=\""), std::string::npos)
          << metrics.body;
      EXPECT_NE(metrics.body.find("code=\"0x87\"}"), std::string::npos) << metrics.body;
    }
    EXPECT_EQ(fiskald.Stop().status, 0);
  }
}

// A connection that fails before MQTT is spoken says what to check: the
// scheme against the port's (TLS or plain), and the client certificate a
// TLS listener asks for.
TEST(Broker, ConnectFailuresSayWhatToCheck) {
  TempDir broker_dir;
  auto broker = TestBroker::StartOrFail(broker_dir);
  const std::string tls_port = std::to_string(broker->tls_port());
  const std::string plain_port = std::to_string(broker->port());
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::string says;
  };
  const std::vector<Case> cases = {
      {"mqtt:// to the TLS port",
       {"--broker", "mqtt://127.0.0.1:" + tls_port, "--shop", "A"},
       "if the broker's port " + tls_port + " takes TLS, give --broker mqtts://127.0.0.1:" +
           tls_port},
      {"mqtts:// to a plain port",
       {"--broker", "mqtts://localhost:" + plain_port, "--shop", "A", "--broker-ca",
        broker->ca_file()},
       "if the broker's port " + plain_port + " takes plain MQTT, give --broker mqtt://localhost:" +
           plain_port},
      {"no client certificate",
       {"--broker", broker->tls_url(), "--shop", "A", "--broker-ca", broker->ca_file()},
       "; if the broker wants a client certificate, give --broker-cert and --broker-key; if "
       "the broker's port " + tls_port + " takes plain MQTT"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    Service fiskald(dir, c.args);
    const Json state = StateOnceRefused(fiskald);
    ASSERT_TRUE(state["last_error"].is_string()) << state.dump();
    const std::string error = state["last_error"];
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
    EXPECT_NE(fiskald.process().ErrSoFar().find(c.says), std::string::npos);
    EXPECT_EQ(fiskald.Stop().status, 0);
  }
}

// A connection the broker refuses says the CONNACK's reason, the identity
// the broker saw and what to check, in the log, /v1/broker and /metrics;
// fiskald keeps trying.
TEST(Broker, RefusedConnectionsSayWhy) {
  ASSERT_TRUE(TestBroker::HasPasswords());
  TempDir broker_dir;
  testing::BrokerOptions options;
  options.password_listener = true;
  auto broker = TestBroker::StartOrFail(broker_dir, options);
  struct Case {
    const char* what;
    std::string user;
    std::string password;
  };
  // mosquitto says 0x87 Not authorized for both; other brokers say 0x86
  // Bad user name or password.
  const std::vector<Case> cases = {
      {"a wrong password", "A", "wrong"},
      {"an unknown user", "Z", TestBroker::password("Z")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    testing::WriteAll(dir.File("password"), c.password + "\n");
    ASSERT_EQ(::chmod(dir.File("password").c_str(), 0600), 0);
    Service fiskald(dir, {"--broker", broker->password_url(), "--shop", "A", "--broker-user",
                          c.user, "--broker-password-file", dir.File("password")});
    const Json state = StateOnceRefused(fiskald);
    ASSERT_TRUE(state["last_error"].is_string()) << state.dump();
    const std::string error = state["last_error"];
    EXPECT_TRUE(error.find("the broker refused the connection: Not authorized (0x87)") !=
                    std::string::npos ||
                error.find("the broker refused the connection: Bad user name or password (0x86)") !=
                    std::string::npos)
        << error;
    EXPECT_NE(error.find("the broker saw user \"" + c.user + "\", client id fiskald-A"),
              std::string::npos)
        << error;
    EXPECT_NE(error.find("--broker-password-file"), std::string::npos) << error;
    EXPECT_EQ(error.find("CONNACK return code"), std::string::npos) << error;
    EXPECT_EQ(state["connected"], false);
    EXPECT_TRUE(state["session_expiry_granted"].is_null()) << state.dump();
    EXPECT_NE(fiskald.process().ErrSoFar().find(error), std::string::npos);
    auto metrics = fiskald.Client().Get("/metrics");
    ASSERT_TRUE(metrics);
    const std::string counted = "fiskald_broker_refusals_total{step=\"connect\",code=\"0x8";
    const std::size_t at = metrics.body.find(counted);
    ASSERT_NE(at, std::string::npos) << metrics.body;
    EXPECT_TRUE(metrics.body.compare(at + counted.size(), 3, "6\"}") == 0 ||
                metrics.body.compare(at + counted.size(), 3, "7\"}") == 0)
        << metrics.body;
    EXPECT_EQ(fiskald.Stop().status, 0);
  }
}

// Known to the broker by its certificate, or by a user name and password,
// shop A takes receipts as over plain TCP.
TEST(Broker, CertificatesAndPasswordsCarryReceipts) {
  ASSERT_TRUE(TestBroker::HasPasswords());
  testing::BrokerOptions options;
  options.password_listener = true;
  Shop shop({}, options);
  ASSERT_FALSE(shop.WaitOnline().is_null());
  shop.fiskald->Stop();
  TempDir dir;
  testing::WriteAll(dir.File("password"), TestBroker::password("A") + "\n");
  ASSERT_EQ(::chmod(dir.File("password").c_str(), 0600), 0);
  const std::vector<std::vector<std::string>> ways = {
      {"--broker", shop.mosquitto().tls_url(), "--shop", "A", "--broker-ca",
       shop.mosquitto().ca_file(), "--broker-cert", shop.mosquitto().cert_file("A"),
       "--broker-key", shop.mosquitto().key_file("A")},
      {"--broker", shop.mosquitto().password_url(), "--shop", "A", "--broker-user", "A",
       "--broker-password-file", dir.File("password")},
  };
  for (const std::vector<std::string>& way : ways) {
    SCOPED_TRACE(way[1]);
    Service fiskald(dir, way);
    ASSERT_FALSE(shop.WaitOnline().is_null());
    const std::string key = "way-" + way[1];
    ASSERT_EQ(shop.chain.Publish(Request(key, JsonReceipt(1))).reason_code, 0);
    EXPECT_EQ(shop.AnswersUntilFinal(key), (std::vector<std::string>{"queued", "sending", "printed"}));
    EXPECT_EQ(fiskald.Stop().status, 0);
  }
}

// ejabberd's own ways, where they differ from what fiskald asks or from
// mosquitto: it grants at most its session_expiry (5 minutes unless its
// configuration says more) whatever the client asks; it refuses another
// shop's topics at once in SUBACK and PUBACK, and a Will on them at
// CONNECT; its `%u` compares the
// topic's level as it compares user names, ignoring case; its TLS listener
// takes the same users and passwords.
TEST(EjabberdBroker, GrantsItsOwnExpiryAndKeepsShopsToTheirTopics) {
  TempDir broker_dir, dir;
  testing::EjabberdOptions options;
  options.session_expiry = "5 minutes";  // ejabberd's default
  auto broker = TestEjabberd::StartOrFail(broker_dir, options);
  struct LogOnFailure {
    const TestEjabberd& broker;
    ~LogOnFailure() {
      if (::testing::Test::HasFailure()) std::cerr << "ejabberd's log:\n" << broker.log();
    }
  } log_on_failure{*broker};
  std::cerr << "ejabberd took connections " << broker->start_seconds()
            << " s after it was started\n";

  constexpr std::uint32_t kSevenDays = 7 * 24 * 3600;  // what fiskald asks unless told
  MqttTestClient b;
  MqttConnect how = broker->As("B", "shop-B");
  how.clean_start = false;
  how.session_expiry = kSevenDays;
  const testing::MqttAnswer connected = b.Connect(how);
  ASSERT_EQ(connected.reason_code, 0) << connected.error;
  EXPECT_EQ(connected.session_expiry, 300u);

  // Refused as mosquitto never does: 0x8F "topic filter invalid", 0x90
  // "topic name invalid".
  EXPECT_EQ(b.Subscribe("fiskal/A/#", 1).reason_code, 0x8F);
  EXPECT_EQ(b.Publish("fiskal/A/receipts", "for A").reason_code, 0x90);
  EXPECT_EQ(b.Subscribe("fiskal/B/#", 1).reason_code, 1);
  // User "A" is user "a" to ejabberd, and so are the topics' levels.
  MqttTestClient a;
  MqttConnect lower = broker->As("A", "shop-a");
  lower.username = "a";
  ASSERT_EQ(a.Connect(lower).reason_code, 0);
  EXPECT_EQ(a.Subscribe("fiskal/A/#", 1).reason_code, 1);
  EXPECT_EQ(a.Subscribe("fiskal/a/#", 1).reason_code, 1);

  // fiskald as shop A with shop B's user: its Will on fiskal/A/status is
  // refused with the connection (CONNACK 0x90); said with the reason,
  // kept trying.
  {
    TempDir refused_dir;
    Service refused(refused_dir, broker->FiskaldOptions("A", "B"));
    const Json state = StateOnceRefused(refused);
    ASSERT_TRUE(state["last_error"].is_string()) << state.dump();
    const std::string said = state["last_error"];
    EXPECT_NE(said.find("the broker refused the connection: Topic name invalid (0x90)"),
              std::string::npos)
        << said;
    EXPECT_EQ(state["connected"], false);
    EXPECT_EQ(refused.Stop().status, 0);
  }

  // fiskald as shop B over TLS: online, and told the expiry granted.
  Service fiskald(dir, {"--broker", broker->tls_url(), "--shop", "B", "--broker-ca",
                        broker->ca_file(), "--broker-user", "B", "--broker-password-file",
                        broker->password_file("B")});
  for (bool online = false; !online;) {
    std::optional<MqttMessage> m = b.Next();
    ASSERT_TRUE(m) << "fiskald did not come online: " << fiskald.process().ErrSoFar();
    online = m->topic == "fiskal/B/status" && Json::parse(m->payload)["online"] == true;
  }
  auto got = fiskald.Client().Get("/v1/broker");
  ASSERT_TRUE(got);
  const Json state = Json::parse(got.body);
  EXPECT_EQ(state["connected"], true);
  EXPECT_EQ(state["session_expiry_asked"], kSevenDays) << state.dump();
  EXPECT_EQ(state["session_expiry_granted"], 300) << state.dump();
  EXPECT_NE(fiskald.process().ErrSoFar().find("300"), std::string::npos);
  EXPECT_EQ(fiskald.Stop().status, 0);
}

}  // namespace
}  // namespace fiskal

// What an arriving message asks of intake, message by message: which
// topic is taken, which properties make a submission and which a refusal
// (and where it is answered), how the deadlines and the payload are handed
// on; and the refusal's answer in the outbox. The deadlines' reading and
// the body's bound are intake's (Intake.TheEarliestDeadlineWins and
// intake's own tests).

#include "service/broker/message.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace fiskal::service {
namespace {

using Json = nlohmann::ordered_json;
using Kind = Arrival::Kind;

constexpr std::int64_t kNow = 1'800'000'000'000;

struct Parts {
  std::string topic = "fiskal/A/receipts";
  std::optional<std::string> type = "application/json";
  std::optional<std::string> key = "k1";
  std::optional<std::string> reply;
  std::optional<std::uint32_t> expiry;
  std::vector<std::string> deadlines;
  std::string body = "{}";
};

ArrivedMessage Make(const Parts& p) {
  ArrivedMessage m;
  m.topic = p.topic;
  m.parts.content_type = p.type;
  m.parts.correlation = p.key;
  m.parts.response_topic = p.reply;
  m.parts.expiry_seconds = p.expiry;
  m.parts.deadlines = p.deadlines;
  m.parts.body = p.body;
  return m;
}

TEST(Message, WhatAnArrivingMessageAsksOfIntake) {
  const std::string states = "fiskal/A/states";
  const std::string nul_body("{\"a\":\"\0\"}", 9);
  const std::string big_body(kMaxReceiptBytes + 1, 'x');
  struct Case {
    const char* what;
    Parts parts;
    Kind kind;
    int status = 0;         // a refusal's
    std::string topic = {};  // where its answers go; empty: fiskal/A/states
    bool json = true;
    std::int64_t deadline_ms = 0;
  };
  auto with = [](auto change) {
    Parts p;
    change(p);
    return p;
  };
  const std::vector<Case> cases = {
      {"JSON on the shop's receipts topic", {}, Kind::kSubmission},
      {"text/plain", with([](Parts& p) { p.type = "text/plain"; }), Kind::kSubmission, 0, "",
       false},
      {"text/plain with a charset", with([](Parts& p) { p.type = "text/plain; charset=utf-8"; }),
       Kind::kSubmission, 0, "", false},
      {"a type in capitals", with([](Parts& p) { p.type = "APPLICATION/JSON"; }),
       Kind::kSubmission},
      {"no content type", with([](Parts& p) { p.type.reset(); }), Kind::kRefusal, 415},
      {"an empty content type", with([](Parts& p) { p.type = ""; }), Kind::kRefusal, 415},
      {"application/xml", with([](Parts& p) { p.type = "application/xml"; }), Kind::kRefusal,
       415},
      {"application/problem+json", with([](Parts& p) { p.type = "application/problem+json"; }),
       Kind::kRefusal, 415},
      {"no correlation data", with([](Parts& p) { p.key.reset(); }), Kind::kRefusal, 400},
      {"empty correlation data", with([](Parts& p) { p.key = ""; }), Kind::kRefusal, 400},
      {"correlation data of 255 bytes", with([](Parts& p) { p.key = std::string(255, 'k'); }),
       Kind::kSubmission},
      {"correlation data of 256 bytes", with([](Parts& p) { p.key = std::string(256, 'k'); }),
       Kind::kRefusal, 400},
      {"a space in the correlation data", with([](Parts& p) { p.key = "a b"; }), Kind::kRefusal,
       400},
      {"binary correlation data", with([](Parts& p) { p.key = std::string("a\0b", 3); }),
       Kind::kRefusal, 400},
      {"a bad key and a bad type: the key is said first",
       with([](Parts& p) {
         p.key.reset();
         p.type = "application/xml";
       }),
       Kind::kRefusal, 400},
      {"answered at its response topic", with([](Parts& p) { p.reply = "fiskal/A/till/1"; }),
       Kind::kSubmission, 0, "fiskal/A/till/1"},
      {"a refusal at its response topic",
       with([](Parts& p) {
         p.reply = "fiskal/A/till/1";
         p.type.reset();
       }),
       Kind::kRefusal, 415, "fiskal/A/till/1"},
      {"a response topic of another shop", with([](Parts& p) { p.reply = "fiskal/B/x"; }),
       Kind::kRefusal, 400},
      {"a response topic with a wildcard", with([](Parts& p) { p.reply = "fiskal/A/#"; }),
       Kind::kRefusal, 400},
      {"a message expiry: a deadline from now", with([](Parts& p) { p.expiry = 5; }),
       Kind::kSubmission, 0, "", true, kNow + 5000},
      {"a message expiry of 0", with([](Parts& p) { p.expiry = 0; }), Kind::kSubmission, 0, "",
       true, kNow},
      {"deadline user properties, handed on as they are",
       with([](Parts& p) {
         p.deadlines = {"2030-01-01T00:00:00Z", "not a time"};
         p.expiry = 60;
       }),
       Kind::kSubmission, 0, "", true, kNow + 60000},
      {"a payload with a NUL byte, as it came", with([&](Parts& p) { p.body = nul_body; }),
       Kind::kSubmission},
      {"a payload over intake's bound: intake refuses it",
       with([&](Parts& p) { p.body = big_body; }), Kind::kSubmission},
      {"another shop's receipts topic", with([](Parts& p) { p.topic = "fiskal/B/receipts"; }),
       Kind::kNotOurs},
      {"the shop's states topic", with([](Parts& p) { p.topic = "fiskal/A/states"; }),
       Kind::kNotOurs},
      {"a longer shop id", with([](Parts& p) { p.topic = "fiskal/AB/receipts"; }),
       Kind::kNotOurs},
      {"a topic below the receipts topic",
       with([](Parts& p) { p.topic = "fiskal/A/receipts/x"; }), Kind::kNotOurs},
      {"not ours, whatever it carries",
       with([](Parts& p) {
         p.topic = "fiskal/B/receipts";
         p.key.reset();
         p.type.reset();
       }),
       Kind::kNotOurs},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const ArrivedMessage m = Make(c.parts);
    const Arrival a = ReadArrival("A", m, kNow);
    ASSERT_EQ(a.kind, c.kind) << a.refusal.detail;
    const std::string topic = c.topic.empty() ? states : c.topic;
    if (c.kind == Kind::kSubmission) {
      const Submission& s = a.submission;
      EXPECT_EQ(s.key, *c.parts.key);
      EXPECT_EQ(s.json, c.json);
      EXPECT_EQ(s.body, c.parts.body);
      EXPECT_EQ(s.deadline_ms, c.deadline_ms);
      ASSERT_EQ(s.deadlines.size(), c.parts.deadlines.size());
      for (std::size_t i = 0; i < s.deadlines.size(); ++i) {
        EXPECT_EQ(s.deadlines[i].where, "the user property deadline");
        EXPECT_EQ(s.deadlines[i].text, c.parts.deadlines[i]);
      }
      ASSERT_TRUE(s.answer_to);
      EXPECT_EQ(s.answer_to->topic, topic);
      EXPECT_EQ(s.answer_to->correlation, *c.parts.key);
      EXPECT_TRUE(s.wait_for_key);
    } else if (c.kind == Kind::kRefusal) {
      EXPECT_EQ(a.refusal.status, c.status) << a.refusal.detail;
      EXPECT_EQ(a.refusal.topic, topic);
      EXPECT_EQ(a.refusal.correlation, c.parts.key.value_or(""));
      EXPECT_FALSE(a.refusal.detail.empty());
    }
  }
}

// A refusal is answered with a problem document at its topic, under its
// key: one intake gave (with intake's members) or one of the message's.
TEST(Message, ARefusalsAnswer) {
  Submission s;
  s.key = "k1";
  s.answer_to = AnswerTo{"fiskal/A/till/1", "k1"};
  Outcome o;
  o.status = 409;
  o.detail = "the key is another receipt's";
  o.extra = Json{{"receipt", 7}};
  const MessageRefusal r = RefusalOf(s, o);
  EXPECT_EQ(r.topic, "fiskal/A/till/1");
  EXPECT_EQ(r.correlation, "k1");
  EXPECT_EQ(r.status, 409);
  EXPECT_EQ(r.detail, o.detail);

  const OutboxAnswer a = RefusalAnswer(r, o.extra);
  EXPECT_EQ(a.topic, "fiskal/A/till/1");
  EXPECT_EQ(a.correlation, "k1");
  EXPECT_EQ(a.content_type, "application/problem+json");
  EXPECT_TRUE(a.state.empty());
  const Json problem = Json::parse(a.payload);
  EXPECT_EQ(problem["status"], 409);
  EXPECT_EQ(problem["detail"], o.detail);
  EXPECT_EQ(problem["receipt"], 7);

  // A message without Correlation Data is answered without it.
  const OutboxAnswer bare = RefusalAnswer(MessageRefusal{"fiskal/A/states", "", 400, "no key"});
  EXPECT_TRUE(bare.correlation.empty());
  EXPECT_EQ(Json::parse(bare.payload)["status"], 400);
}

}  // namespace
}  // namespace fiskal::service

#include "receipt/run.h"

#include <gtest/gtest.h>

#include <csignal>

#include <string>
#include <vector>

#include "line/stop_signal.h"
#include "testing/fakes.h"

namespace fiskal {
namespace {

using testing::Event;
using testing::FakeEnv;

const std::string kVersion = "ver.:0.6a";
const std::string kBegin = "\x1bP0;0$h88\x1b\\";
const std::string kBread = "\x1bP1;0$lBREAD\r1.00\rA/2.50/2.50/AC\x1b\\";
// The second line sets name and code only: quantity and price carry over.
const std::string kRoll = "\x1bP2;0$lROLL\r1.00\rA/2.50/2.50/E2\x1b\\";
const std::string kEnd = "\x1bP1;0;1$e\rTHANK YOU\r0.00/5.00/B0\x1b\\";

const std::string kTwoItems =
    "1;THANK YOU\r\n"
    "1\tBREAD\t1\t100\t250\tpcs\t\r\n"
    "2\tROLL\t1\t\r\n";

FakeEnv EnvWith(const std::string& input) {
  FakeEnv env;
  env.files["fiskal.txt"] = input;
  return env;
}

TEST(RunReceipt, SendsRecordsAndPausesInOrder) {
  FakeEnv env = EnvWith(kTwoItems);
  const Outcome outcome = RunReceipt(env);
  EXPECT_EQ(outcome.status, ExitStatus::kOk);
  EXPECT_EQ(outcome.message, "");
  const std::vector<Event> expected = {
      {"read", "fiskal.txt"}, {"create", "fiskal.log"}, {"port", "1"},
      {"send", kVersion},     {"record", kVersion},
      {"send", kBegin},       {"record", kBegin},       {"pause", "0.5"},
      {"send", kBread},       {"record", kBread},       {"pause", "0.5"},
      {"send", kRoll},        {"record", kRoll},        {"pause", "0.5"},
      {"send", kEnd},         {"record", kEnd},         {"close", ""},
  };
  EXPECT_EQ(env.events, expected);
}

TEST(RunReceipt, LogOnlyTouchesNoPort) {
  FakeEnv env = EnvWith("0;THANK YOU\r\n");
  EXPECT_EQ(RunReceipt(env).status, ExitStatus::kOk);
  const std::vector<Event> expected = {
      {"read", "fiskal.txt"},
      {"create", "fiskal.log"},
      {"record", kVersion},
      {"record", kBegin},
      {"pause", "0.5"},
      {"record", "\x1bP1;0;1$e\rTHANK YOU\r0.00/0.00/B5\x1b\\"},
      {"close", ""},
  };
  EXPECT_EQ(env.events, expected);
}

TEST(RunReceipt, EmptyLinesAreSkippedWithoutANumber) {
  FakeEnv env = EnvWith(
      "1;THANK YOU\r\n"
      "\r\n"
      "1\tBREAD\t1\t100\t250\tpcs\t\r\n"
      "\r\n"
      "2\tROLL\t1\t\r\n"
      "\r\n");
  EXPECT_EQ(RunReceipt(env).status, ExitStatus::kOk);
  EXPECT_EQ(env.Texts("send"),
            (std::vector<std::string>{kVersion, kBegin, kBread, kRoll, kEnd}));
  EXPECT_EQ(env.Texts("pause").size(), 3u);
}

TEST(RunReceipt, MissingInputTouchesNothing) {
  FakeEnv env;
  const Outcome outcome = RunReceipt(env);
  EXPECT_EQ(outcome.status, ExitStatus::kNothingSent);
  EXPECT_EQ(env.events, (std::vector<Event>{{"read", "fiskal.txt"}}));
  EXPECT_NE(outcome.message.find("fiskal.txt: cannot open: No such file"),
            std::string::npos)
      << outcome.message;
  EXPECT_NE(outcome.message.find("fiskal.log was not touched"), std::string::npos);
}

TEST(RunReceipt, TranscriptThatCannotBeCreatedSendsNothing) {
  FakeEnv env = EnvWith(kTwoItems);
  env.fail_create = true;
  const Outcome outcome = RunReceipt(env);
  EXPECT_EQ(outcome.status, ExitStatus::kNothingSent);
  EXPECT_EQ(env.Texts("send").size(), 0u);
  EXPECT_NE(outcome.message.find("fiskal.log: cannot create: Permission denied"),
            std::string::npos)
      << outcome.message;
}

// Input that must be refused empties the transcript and sends nothing, and
// the message names the line and the reason.
TEST(RunReceipt, RefusedInputSendsNothing) {
  struct Case {
    std::string input;
    std::string message;  // expected part of the message
  };
  const std::string header = "1;THANK YOU\r\n";
  const std::string bread = "1\tBREAD\t1\t100\t250\tpcs\t\r\n";
  std::string too_many = header;
  for (int i = 0; i < 256; ++i) too_many += bread;
  const std::vector<Case> cases = {
      {"", "fiskal.txt is empty"},
      {header + bread + "2 ROLL 1 100 250 pcs\r\n",
       "fiskal.txt:3: item line has 0 TABs"},
      {header + "1\tBREAD\r\n", "fiskal.txt:2: item line has 1 TAB"},
      {header + bread + bread + "3\tBAD\t1\t-100\t250\t\r\n",
       "fiskal.txt:4: quantity \"-100\" is negative"},
      {header + "1\tBREAD\t1\t100\t-1\t\r\n",
       "fiskal.txt:2: unit price \"-1\" is negative"},
      {header + "1\tBREAD\t1\t1e41\t250\t\r\n",
       "fiskal.txt:2: quantity \"1e41\" is beyond the range"},
      {header + "1\tBREAD\t1\t1e30\t1e30\t\r\n",
       "fiskal.txt:2: quantity times unit price is beyond the range"},
      {header + "1\tA\t1\t1e21\t3e21\t\r\n1\tB\t1\t1e21\t3e21\t\r\n",
       "fiskal.txt:3: the receipt total is beyond the range"},
      {header + "1\tBRE\x1b" "AD\t1\t100\t250\t\r\n",
       "fiskal.txt:2: item name holds an ESC byte"},
      {"1;THANK\x1bYOU\r\n" + bread, "fiskal.txt:1: footer holds an ESC byte"},
      {"1;THANK YOU\n1\tBREAD\t1\t100\t250\tpcs\t\n",
       "fiskal.txt:1: the footer holds a TAB, so the item lines were read as "
       "part of the header: lines must end with CR LF (or CR); a file with "
       "LF-only line ends is one single line; nothing was sent"},
      {too_many, "fiskal.txt:257: a receipt holds at most 255 items"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    FakeEnv env = EnvWith(c.input);
    const Outcome outcome = RunReceipt(env);
    EXPECT_EQ(outcome.status, ExitStatus::kNothingSent);
    EXPECT_NE(outcome.message.find(c.message), std::string::npos)
        << outcome.message;
    EXPECT_NE(outcome.message.find("nothing was sent"), std::string::npos)
        << outcome.message;
    const std::vector<Event> expected = {
        {"read", "fiskal.txt"}, {"create", "fiskal.log"}, {"close", ""}};
    EXPECT_EQ(env.events, expected);
  }
}

TEST(RunReceipt, TwoHundredFiftyFiveItemsGoOut) {
  std::string input = "0;THANK YOU\r\n";
  for (int i = 0; i < 255; ++i) input += "1\tBREAD\t1\t100\t250\tpcs\t\r\n";
  FakeEnv env = EnvWith(input);
  EXPECT_EQ(RunReceipt(env).status, ExitStatus::kOk);
  const std::vector<std::string> records = env.Texts("record");
  ASSERT_EQ(records.size(), 258u);
  EXPECT_EQ(records[256].rfind("\x1bP255;0$lBREAD\r", 0), 0u);
  EXPECT_EQ(records[257].rfind("\x1bP1;0;1$e\rTHANK YOU\r0.00/637.50/", 0), 0u);
  EXPECT_EQ(env.Texts("pause").size(), 256u);
}

// The port failing at the k-th text: the transcript holds the k-1 texts
// before it, nothing after it is sent, and the message says how far it got.
TEST(RunReceipt, PortFailureAtEveryText) {
  const std::vector<std::string> texts = {kVersion, kBegin, kBread, kRoll, kEnd};
  const std::vector<std::string> labels = {"version text", "begin frame",
                                           "item 1", "item 2", "end frame"};
  for (int k = 1; k <= 5; ++k) {
    SCOPED_TRACE(k);
    FakeEnv env = EnvWith(kTwoItems);
    env.fail_send_at = k;
    const Outcome outcome = RunReceipt(env);
    EXPECT_EQ(outcome.status, ExitStatus::kSendFailed);
    const std::vector<std::string> before(texts.begin(), texts.begin() + k - 1);
    EXPECT_EQ(env.Texts("send"), before);
    EXPECT_EQ(env.Texts("record"), before);
    EXPECT_EQ(env.events.back(), (Event{"close", ""}));
    const std::string where =
        labels[k - 1] + " (text " + std::to_string(k) + " of 5): port 1 (fake): "
        "cannot open: Input/output error";
    EXPECT_EQ(outcome.message.find(where), 0u) << outcome.message;
    const bool open_on_printer = k >= 3;
    EXPECT_EQ(outcome.message.find("left open on the printer") != std::string::npos,
              open_on_printer)
        << outcome.message;
  }
}

TEST(RunReceipt, TranscriptFailureAfterTheTextWentOut) {
  FakeEnv env = EnvWith(kTwoItems);
  env.fail_record_at = 3;
  const Outcome outcome = RunReceipt(env);
  EXPECT_EQ(outcome.status, ExitStatus::kSendFailed);
  EXPECT_EQ(env.Texts("send"),
            (std::vector<std::string>{kVersion, kBegin, kBread}));
  EXPECT_EQ(env.Texts("record"), (std::vector<std::string>{kVersion, kBegin}));
  EXPECT_EQ(outcome.message,
            "item 1 (text 3 of 5): sent to the printer but not recorded: "
            "fiskal.log: cannot write: No space left on device; the 2 texts "
            "before it went out and are recorded in fiskal.log; the receipt "
            "is left open on the printer without its end frame");
}

TEST(RunReceipt, LogOnlyTranscriptFailureMentionsNoPrinter) {
  FakeEnv env = EnvWith("0;THANK YOU\r\n");
  env.fail_record_at = 1;
  const Outcome outcome = RunReceipt(env);
  EXPECT_EQ(outcome.status, ExitStatus::kSendFailed);
  EXPECT_EQ(outcome.message,
            "version text (text 1 of 3): not recorded: fiskal.log: cannot "
            "write: No space left on device; nothing is recorded in fiskal.log");
}

TEST(RunReceipt, TranscriptThatCannotBeClosedAfterAWholeReceipt) {
  FakeEnv env = EnvWith(kTwoItems);
  env.fail_close = true;
  const Outcome outcome = RunReceipt(env);
  EXPECT_EQ(outcome.status, ExitStatus::kSendFailed);
  EXPECT_EQ(env.Texts("send").size(), 5u);
  EXPECT_EQ(outcome.message,
            "the receipt went out whole, but fiskal.log: cannot close: "
            "Input/output error");
}

TEST(Report, PrefixesTheProgramNameAndReturnsTheStatus) {
  std::FILE* err = std::tmpfile();
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(Report({ExitStatus::kSendFailed, "it broke"}, err), 2);
  EXPECT_EQ(Report({ExitStatus::kOk, ""}, err), 0);
  std::rewind(err);
  char buffer[64] = {};
  const std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, err);
  std::fclose(err);
  EXPECT_EQ(std::string(buffer, n), "fiskal: it broke\n");
}

}  // namespace
}  // namespace fiskal

namespace fiskal {
namespace {

using testing::Event;
using testing::FakeEnv;

TEST(RunReceiptLocks, BusyFolderOrPortSendsNothing) {
  {
    FakeEnv env;
    env.files["fiskal.txt"] = "1;THANK YOU\r\n";
    env.folder_busy = true;
    const Outcome outcome = RunReceipt(env);
    EXPECT_EQ(outcome.status, ExitStatus::kNothingSent);
    EXPECT_EQ(outcome.message,
              "fiskal.log: another receipt run is using this folder; nothing was sent");
    EXPECT_EQ(env.events, (std::vector<Event>{{"read", "fiskal.txt"},
                                              {"create", "fiskal.log"}}));
  }
  {
    FakeEnv env;
    env.files["fiskal.txt"] = "1;THANK YOU\r\n";
    env.port_busy = true;
    const Outcome outcome = RunReceipt(env);
    EXPECT_EQ(outcome.status, ExitStatus::kNothingSent);
    EXPECT_EQ(outcome.message,
              "port 1 (fake) is in use by another receipt run; nothing was sent");
    EXPECT_EQ(env.Texts("send").size(), 0u);
    EXPECT_EQ(env.Texts("record").size(), 0u);
  }
}

// A stop signal during the k-th text lets that text finish and be recorded,
// then ends the run; one during the k-th pause ends it before the next
// text. A stop during the last text comes too late: the receipt is whole.
TEST(RunReceiptStops, SignalsEndTheRunBetweenTexts) {
  const std::string input =
      "1;THANK YOU\r\n1\tBREAD\t1\t100\t250\tpcs\t\r\n2\tROLL\t1\t\r\n";
  struct Case {
    int during_send;
    int during_pause;
    ExitStatus status;
    std::size_t sent;
    std::string message;
  };
  const std::vector<Case> cases = {
      {1, 0, ExitStatus::kSendFailed, 1,
       "after text 1 of 5 (version text); the 1 text "
       "before it went out and is recorded in fiskal.log; no receipt was "
       "begun on the printer"},
      {3, 0, ExitStatus::kSendFailed, 3,
       "after text 3 of 5 (item 1); the 3 texts before "
       "it went out and are recorded in fiskal.log; the receipt is left open "
       "on the printer without its end frame"},
      {0, 2, ExitStatus::kSendFailed, 3,
       "after text 3 of 5 (item 1); the 3 texts before "
       "it went out and are recorded in fiskal.log; the receipt is left open "
       "on the printer without its end frame"},
      {5, 0, ExitStatus::kOk, 5, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    FakeEnv env;
    env.files["fiskal.txt"] = input;
    env.stop_during_send = c.during_send;
    env.stop_during_pause = c.during_pause;
    const Outcome outcome = RunReceipt(env);
    EXPECT_EQ(outcome.status, c.status);
    // The fakes send SIGTERM, which each platform names in its own way.
    const std::string by = std::string("stopped by ") + StopSignalName(SIGTERM) + " ";
    EXPECT_EQ(outcome.message, c.message.empty() ? "" : by + c.message);
    EXPECT_EQ(env.Texts("send").size(), c.sent);
    EXPECT_EQ(env.Texts("record"), env.Texts("send"));
    EXPECT_EQ(env.events.back(), (Event{"close", ""}));
  }
}

}  // namespace
}  // namespace fiskal

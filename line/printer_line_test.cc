#include "line/printer_line.h"

#include <gtest/gtest.h>

#include "testing/fakes.h"

namespace fiskal {
namespace {

using testing::Event;
using testing::FakeEnv;

struct Line {
  FakeEnv env;
  std::unique_ptr<Transcript> transcript;
  std::unique_ptr<PrinterLine> line;

  Line() {
    EXPECT_TRUE(env.CreateTranscript("fiskal.log", &transcript).ok());
    line = std::make_unique<PrinterLine>(env, *transcript, env.clock(), env);
    env.events.clear();
  }
};

TEST(PrinterLine, LogOnlyRecordsWithoutAPort) {
  Line l;
  ASSERT_TRUE(l.line->PelkInit(0).ok());
  ASSERT_TRUE(l.line->WriteComm(0, "ver.:0.6a").ok());
  EXPECT_EQ(l.env.events, (std::vector<Event>{{"record", "ver.:0.6a"}}));
  EXPECT_FALSE(l.line->last_text_sent());
}

TEST(PrinterLine, SendsBeforeRecording) {
  Line l;
  ASSERT_TRUE(l.line->PelkInit(3).ok());
  ASSERT_TRUE(l.line->WriteComm(3, "abc").ok());
  EXPECT_EQ(l.env.events,
            (std::vector<Event>{{"port", "3"}, {"send", "abc"}, {"record", "abc"}}));
  EXPECT_TRUE(l.line->last_text_sent());
}

TEST(PrinterLine, TextThatFailsToSendIsNotRecorded) {
  Line l;
  l.env.fail_send_at = 1;
  ASSERT_TRUE(l.line->PelkInit(1).ok());
  const Status s = l.line->WriteComm(1, "abc");
  EXPECT_EQ(s.message(), "port 1 (fake): cannot open: Input/output error");
  EXPECT_EQ(l.env.Texts("record").size(), 0u);
  EXPECT_FALSE(l.line->last_text_sent());
}

TEST(PrinterLine, PortThatWasNotSetUpIsAnErrorNotASilentSkip) {
  Line l;
  const Status s = l.line->WriteComm(2, "abc");
  EXPECT_EQ(s.message(), "port 2 was not set up");
  EXPECT_TRUE(l.env.events.empty());
}

TEST(PrinterLine, PauseGoesToTheClock) {
  Line l;
  ASSERT_TRUE(l.line->Pause(0.5f).ok());
  EXPECT_EQ(l.env.events, (std::vector<Event>{{"pause", "0.5"}}));
}

}  // namespace
}  // namespace fiskal

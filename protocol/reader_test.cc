
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/frame_decoder.h"
#include "protocol/frames.h"
#include "protocol/receipt_check.h"
#include "protocol/text_splitter.h"
#include "protocol/transcript_record.h"

namespace fiskal {
namespace {

using Texts = std::vector<std::pair<std::string, std::size_t>>;  // bytes, offset

Texts Pairs(const std::vector<RawText>& texts) {
  Texts out;
  for (const RawText& t : texts) out.emplace_back(t.bytes, t.offset);
  return out;
}

std::string Item(int number, std::string name, float price, float quantity,
                 std::string_view code) {
  return PelkLinia(static_cast<std::uint8_t>(number), name, price, quantity, code);
}

const std::string kV(kVersionText);
const std::string kB = PelkStart();  // 11 bytes
const std::string kI1 = Item(1, "BREAD", 2.5f, 1.0f, "1");
const std::string kI2 = Item(2, "MILK 2%", 3.0f, 2.0f, "2");
const std::string kI3 = Item(3, "APPLES", 4.2f, 1.25f, "1");
const std::string kE = PelkEnd("THANK YOU", 13.75f);

// --- TextSplitter ----------------------------------------------------------

TEST(TextSplitterTest, WholeReceiptWhateverThePieces) {
  const std::string stream = kV + kB + kI1 + kI2 + kI3 + kE;
  Texts expected;
  std::size_t offset = 0;
  for (const std::string& t : {kV, kB, kI1, kI2, kI3, kE}) {
    expected.emplace_back(t, offset);
    offset += t.size();
  }
  for (std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{3},
                            std::size_t{7}, stream.size()}) {
    SCOPED_TRACE(piece);
    TextSplitter splitter;
    std::vector<RawText> got;
    for (std::size_t i = 0; i < stream.size(); i += piece) {
      for (RawText& t : splitter.Feed(std::string_view(stream).substr(i, piece))) {
        got.push_back(std::move(t));
      }
    }
    // Every text is complete on its last byte, without waiting for Finish().
    EXPECT_EQ(Pairs(got), expected);
    EXPECT_FALSE(splitter.pending());
    EXPECT_TRUE(splitter.Finish().empty());
  }
}

TEST(TextSplitterTest, UnfinishedAndBrokenTexts) {
  struct Case {
    const char* what;
    std::vector<std::string> feeds;
    Texts expected;  // after all feeds and Finish()
  };
  const Case cases[] = {
      {"version text across feeds", {"ver.", ":0.6a"}, {{kV, 0}}},
      {"version prefix that goes wrong", {"ver.:0.6", "X"}, {{"ver.:0.6X", 0}}},
      {"ESC P split", {"\x1b", "P0;0$h88\x1b", "\\"}, {{kB, 0}}},
      {"frame cut short by the next ESC P",
       {"\x1bP1;0$lBR", "EAD\x1bP0;0$h88\x1b\\"},
       {{"\x1bP1;0$lBREAD", 0}, {kB, 12}}},
      {"frame still open at Finish", {kB, "\x1bP1;0$lBR"}, {{kB, 0}, {"\x1bP1;0$lBR", 11}}},
      {"lone ESC at Finish", {kV + "\x1b"}, {{kV, 0}, {"\x1b", 9}}},
      {"stray bytes between frames", {kB + "xyz" + kB}, {{kB, 0}, {"xyz", 11}, {kB, 14}}},
      // A run of stray bytes is one text however the line delivered it.
      {"stray bytes across feeds", {kB + "x", "y", "z" + kB}, {{kB, 0}, {"xyz", 11}, {kB, 14}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TextSplitter splitter;
    std::vector<RawText> got;
    for (const std::string& feed : c.feeds) {
      for (RawText& t : splitter.Feed(feed)) got.push_back(std::move(t));
    }
    for (RawText& t : splitter.Finish()) got.push_back(std::move(t));
    EXPECT_EQ(Pairs(got), c.expected);
    EXPECT_FALSE(splitter.pending());
  }
}

// --- Transcript records ----------------------------------------------------

TEST(TranscriptRecord, QuotesTheTextUnchanged) {
  EXPECT_EQ(TranscriptRecord("ver.:0.6a"),
            std::string("\x22ver.:0.6a\x22\x0d\x0a"));
  EXPECT_EQ(TranscriptRecord(""), "\"\"\r\n");
  // Double quotes, CR, LF and ESC inside the text are written as they are.
  EXPECT_EQ(TranscriptRecord("a\"b\r\n\x1b"), "\"a\"b\r\n\x1b\"\r\n");
}

TEST(SplitTranscriptTest, Table) {
  const std::string footer_end = PelkEnd("SAY \"HI\"\nBYE", 2.5f);
  struct Case {
    const char* what;
    std::string file;
    Texts texts;
    std::vector<std::string> problems;
  };
  const Case cases[] = {
      {"double quote and LF inside a text",
       "\"" + kV + "\"\r\n\"" + footer_end + "\"\r\n", {{kV, 1}, {footer_end, 14}}, {}},
      // Reported once, as stray bytes, when the receipt is checked.
      {"bytes outside any record, one with a double quote",
       "\"a\"\r\nxx\"yy\r\n\"b\"\r\n", {{"a", 1}, {"xx\"yy\r\n", 5}, {"b", 13}}, {}},
      {"record cut inside its text",
       "\"a\"\r\n\"\x1bP1;0", {{"a", 1}, {"\x1bP1;0", 6}},
       {"offset 5: record without its closing double quote and CR LF"}},
      // Only the line end is lost: the text itself is whole.
      {"record cut after its closing double quote",
       "\"a\"\r\n\"" + kB + "\"\r", {{"a", 1}, {kB, 6}},
       {"offset 5: record without its closing double quote and CR LF"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> problems;
    EXPECT_EQ(Pairs(SplitTranscript(c.file, &problems)), c.texts);
    EXPECT_EQ(problems, c.problems);
  }
}

// --- ParseAmount -----------------------------------------------------------

TEST(ParseAmountTest, Table) {
  const std::pair<const char*, std::optional<double>> cases[] = {
      {"0.00", 0.0},        {"2.50", 2.5},           {"-2.50", -2.5},
      {"13.75", 13.75},     {"131072.02", 131072.02}, {"1234567.00", 1234567.0},
      {"", std::nullopt},   {"2.5", std::nullopt},    {"2.500", std::nullopt},
      {".50", std::nullopt}, {"-.50", std::nullopt},  {"2,50", std::nullopt},
      {"+2.50", std::nullopt}, {" 2.50", std::nullopt}, {"2.5a", std::nullopt},
      {"1e2.00", std::nullopt}, {"--2.50", std::nullopt}, {"2..50", std::nullopt},
  };
  for (const auto& [text, value] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(ParseAmount(text), value);
  }
}

// --- DecodeText ------------------------------------------------------------

TEST(DecodeTextTest, FrameFields) {
  const DecodedText begin = DecodeText({kB, 0});
  EXPECT_EQ(begin.kind, TextKind::kBegin);
  EXPECT_EQ(begin.body, "0;0$h");
  EXPECT_EQ(begin.checksum, "88");

  const DecodedText item = DecodeText({Item(12, "A/B;C", 4.2f, 1.25f, "9"), 7});
  EXPECT_EQ(item.kind, TextKind::kItem);
  EXPECT_EQ(item.number, 12);
  EXPECT_EQ((std::vector<std::string>{item.name, item.quantity, item.tax_letter,
                                      item.unit_price, item.line_value}),
            (std::vector<std::string>{"A/B;C", "1.25", "X", "4.20", "5.25"}));
  EXPECT_TRUE(item.problems.empty());

  const DecodedText end = DecodeText({kE, 0});
  EXPECT_EQ(end.kind, TextKind::kEnd);
  EXPECT_EQ(end.footer, "THANK YOU");
  EXPECT_EQ(end.total, "13.75");
  EXPECT_EQ(end.checksum, "85");
  EXPECT_TRUE(end.problems.empty());
}

TEST(DecodeTextTest, Checksums) {
  const std::string body = "1;0$lBREAD\r1.00\rA/2.50/2.50/";  // gives AC
  const std::string one = "1;0$lBREA\xED\r1.00\rA/2.50/2.50/";    // gives 5
  const std::string low = "1;0$lBREA\xDD\r1.00\rA/2.50/2.50/";    // gives 35
  auto frame = [](const std::string& b, const std::string& sum) {
    return "\x1bP" + b + sum + "\x1b\\";
  };
  struct Case {
    const char* what;
    std::string frame;
    std::string checksum;
    std::vector<std::string> problems;
  };
  const Case cases[] = {
      {"two digits", frame(body, "AC"), "AC", {}},
      {"one digit", frame(one, "5"), "5", {}},
      {"one digit zero", frame("1;0$lBREA\xE8\r1.00\rA/2.50/2.50/", "0"), "0", {}},
      {"wrong digit", frame(body, "AD"), "AD",
       {"checksum AD does not match the body (the body gives AC)"}},
      {"wrong one digit", frame(one, "7"), "7",
       {"checksum 7 does not match the body (the body gives 5)"}},
      {"leading zero", frame(one, "05"), "05",
       {"checksum 05 does not match the body (the body gives 5)"}},
      {"missing", frame(body, ""), "", {"checksum missing (the body gives AC)"}},
      // "3" + "6" also reads as body + "3" with checksum "6"; an item body
      // ends in "/", so the checksum is the two digits, and wrong.
      {"wrong digit that fits a longer body", frame(low, "36"), "36",
       {"checksum 36 does not match the body (the body gives 35)"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const DecodedText t = DecodeText({c.frame, 0});
    EXPECT_EQ(t.kind, TextKind::kItem);
    EXPECT_EQ(t.checksum, c.checksum);
    EXPECT_EQ(t.problems, c.problems);
    if (c.problems.empty()) {
      EXPECT_EQ(t.name.substr(0, 4), "BREA");
    }
  }
}

TEST(DecodeTextTest, KindsAndMalformedFrames) {
  struct Case {
    std::string text;
    TextKind kind;
    std::vector<std::string> problems;
  };
  const Case cases[] = {
      {kV, TextKind::kVersion, {}},
      {"xyz", TextKind::kStray, {}},
      {Frame("hello"), TextKind::kOtherFrame, {}},
      {"\x1bP0;0$h88", TextKind::kTruncated, {"frame without its closing ESC \\ (truncated)"}},
      {Frame("1;0$lBREAD\r1.00A/2.50/2.50/"), TextKind::kItem,
       {"item frame does not have name, quantity and amounts separated by two CRs"}},
      {Frame("1;0$lBREAD\r1.00\rA/2.50/2.50"), TextKind::kItem,
       {"item frame amounts are not tax letter/unit price/line value/"}},
      {Frame("1;0$lBREAD\r1,00\rA/2.50/2.5/"), TextKind::kItem,
       {"quantity \"1,00\" is not an amount", "line value \"2.5\" is not an amount"}},
      {Frame("1;0;1$e\rTHANKS\r13.75/"), TextKind::kEnd,
       {"end frame is not footer CR 0.00/total/"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.text));
    const DecodedText t = DecodeText({c.text, 0});
    EXPECT_EQ(t.kind, c.kind);
    EXPECT_EQ(t.problems, c.problems);
  }
}

// --- CheckReceipt ----------------------------------------------------------

std::vector<RawText> Raw(const std::vector<std::string>& texts) {
  std::vector<RawText> raw;
  raw.reserve(texts.size());
  for (const std::string& t : texts) raw.push_back({t, 0});
  return raw;
}

TEST(CheckReceiptTest, Table) {
  const std::string big = "A/1.00/131072.02/";  // 131072.01 held as 131072.015625
  const std::string kMax = "340282346638528859811704183484516925440.00";  // FLT_MAX
  struct Case {
    const char* what;
    std::vector<std::string> texts;
    bool whole;
    std::vector<std::string> problems;
  };
  const Case cases[] = {
      {"good receipt", {kV, kB, kI1, kI2, kI3, kE}, true, {}},
      {"no items", {kV, kB, PelkEnd("", 0)}, true, {}},
      {"131072.01 twice, added as a 32-bit total",
       {kV, kB, Item(1, "BIG", 1.0f, 131072.01f, "1"),
        Frame("2;0$lBIG\r131072.02\r" + big), Frame("1;0;1$e\r\r0.00/262144.03/")},
       true,
       {}},
      {"items out of order", {kV, kB, kI1, kI3, kI2, kE}, true,
       {"text 4 (item 3): item number 3 where 2 was due",
        "text 5 (item 2): item number 2 where 4 was due"}},
      {"wrong line value",
       {kV, kB, Frame("1;0$lBREAD\r1.00\rA/2.50/2.60/"), PelkEnd("", 2.6f)}, true,
       {"text 3 (item 1): line value 2.60 is not quantity times unit price "
        "(1.00 x 2.50 gives 2.50)"}},
      {"wrong total", {kV, kB, kI1, kI2, kI3, PelkEnd("THANK YOU", 13.7f)}, true,
       {"text 6 (end frame): total 13.70 is not the sum of the line values (13.75)"}},
      {"text after the end frame", {kV, kB, kI1, PelkEnd("", 2.5f), kI2}, true,
       {"text 5 (item 2): text after the end frame"}},
      {"missing end frame", {kV, kB, kI1}, false, {"no end frame: the receipt was left open"}},
      {"nothing", {}, false, {"no receipt: no begin frame"}},
      {"stray bytes", {kV, kB, "xyz", kI1, PelkEnd("", 2.5f)}, true,
       {"text 3 (stray bytes): 3 bytes outside any frame"}},
      {"unknown frame", {kV, kB, Frame("hello"), PelkEnd("", 0)}, true,
       {"text 3 (unknown frame): frame is not a begin, item or end frame"}},
      {"unit price beyond any 32-bit amount",
       {kV, kB, Frame("1;0$lBREAL\r1.20\rA/" + std::string(80, '9') + "2.50/2.50/"),
        PelkEnd("", 2.5f)},
       true,
       {"text 3 (item 1): unit price " + std::string(80, '9') +
        "2.50 is beyond any 32-bit amount"}},
      {"line values that add up beyond any 32-bit amount",
       {kV, kB, Frame("1;0$lMAX\r1.00\rA/" + kMax + "/" + kMax + "/"),
        Frame("2;0$lMAX\r1.00\rA/" + kMax + "/" + kMax + "/"), PelkEnd("", 0)},
       true,
       {"text 4 (item 2): the line values add up beyond any 32-bit amount"}},
      {"no version text", {kB, PelkEnd("", 0)}, false,
       {"text 1 (begin frame): begin frame without the version text before it"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const ReceiptReport report = CheckReceipt(Raw(c.texts));
    EXPECT_EQ(report.texts.size(), c.texts.size());
    EXPECT_EQ(report.whole, c.whole);
    EXPECT_EQ(report.problems, c.problems);
    EXPECT_EQ(report.ok(), c.whole && c.problems.empty());
  }
}

}  // namespace
}  // namespace fiskal

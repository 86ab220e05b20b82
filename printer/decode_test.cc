#include "printer/decode.h"

#include <gtest/gtest.h>

#include <string>

namespace fiskal {
namespace {

// fiskal.log of examples/fiskal.txt: BREAD, MILK 2%, APPLES, THANK YOU.
const std::string kGoodLog =
    "\"ver.:0.6a\"\r\n"
    "\"\x1bP0;0$h88\x1b\\\"\r\n"
    "\"\x1bP1;0$lBREAD\r1.00\rA/2.50/2.50/AC\x1b\\\"\r\n"
    "\"\x1bP2;0$lMILK 2%\r2.00\rB/3.00/6.00/CE\x1b\\\"\r\n"
    "\"\x1bP3;0$lAPPLES\r1.25\rA/4.20/5.25/E6\x1b\\\"\r\n"
    "\"\x1bP1;0;1$e\rTHANK YOU\r0.00/13.75/85\x1b\\\"\r\n";

// The same texts as they crossed the line.
const std::string kGoodRaw =
    "ver.:0.6a"
    "\x1bP0;0$h88\x1b\\"
    "\x1bP1;0$lBREAD\r1.00\rA/2.50/2.50/AC\x1b\\"
    "\x1bP2;0$lMILK 2%\r2.00\rB/3.00/6.00/CE\x1b\\"
    "\x1bP3;0$lAPPLES\r1.25\rA/4.20/5.25/E6\x1b\\"
    "\x1bP1;0;1$e\rTHANK YOU\r0.00/13.75/85\x1b\\";

const std::string kGoodOutput =
    "fiskal.log: transcript, 6 texts\n"
    "\n"
    "version  ver.:0.6a\n"
    "begin    receipt opened\n"
    "\n"
    "    #  name     quantity  tax  unit price  line value\n"
    "    1  BREAD        1.00  A          2.50        2.50\n"
    "    2  MILK 2%      2.00  B          3.00        6.00\n"
    "    3  APPLES       1.25  A          4.20        5.25\n"
    "\n"
    "footer   THANK YOU\n"
    "total    13.75\n"
    "\n"
    "receipt whole and consistent\n";

// `text` with its only occurrence of `from` replaced by `to`.
std::string Replace(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  EXPECT_EQ(text.find(from, at + 1), std::string::npos) << from;
  return text.replace(at, from.size(), to);
}

std::string CutAfter(const std::string& text, const std::string& marker) {
  return text.substr(0, text.find(marker) + marker.size());
}

TEST(DecodeTest, GoodTranscript) {
  const Decoded d = DecodeContents(kGoodLog, "fiskal.log", false);
  EXPECT_EQ(d.status, kPrinterOk);
  EXPECT_EQ(d.output, kGoodOutput);
}

TEST(DecodeTest, GoodTranscriptAsJson) {
  const Decoded d = DecodeContents(kGoodLog, "fiskal.log", true);
  EXPECT_EQ(d.status, kPrinterOk);
  EXPECT_EQ(d.output,
            "{\"file\":\"fiskal.log\",\"format\":\"transcript\",\"version\":\"ver.:0.6a\","
            "\"begun\":true,\"items\":["
            "{\"number\":1,\"name\":\"BREAD\",\"quantity\":1.00,\"tax_letter\":\"A\","
            "\"unit_price\":2.50,\"line_value\":2.50},"
            "{\"number\":2,\"name\":\"MILK 2%\",\"quantity\":2.00,\"tax_letter\":\"B\","
            "\"unit_price\":3.00,\"line_value\":6.00},"
            "{\"number\":3,\"name\":\"APPLES\",\"quantity\":1.25,\"tax_letter\":\"A\","
            "\"unit_price\":4.20,\"line_value\":5.25}],"
            "\"footer\":\"THANK YOU\",\"total\":13.75,\"texts\":["
            "{\"kind\":\"version text\",\"offset\":1,\"bytes\":\"ver.:0.6a\"},"
            "{\"kind\":\"begin frame\",\"offset\":14,\"bytes\":\"\\u001BP0;0$h88\\u001B\\\\\"},"
            "{\"kind\":\"item frame\",\"offset\":29,\"bytes\":"
            "\"\\u001BP1;0$lBREAD\\u000D1.00\\u000DA/2.50/2.50/AC\\u001B\\\\\"},"
            "{\"kind\":\"item frame\",\"offset\":67,\"bytes\":"
            "\"\\u001BP2;0$lMILK 2%\\u000D2.00\\u000DB/3.00/6.00/CE\\u001B\\\\\"},"
            "{\"kind\":\"item frame\",\"offset\":107,\"bytes\":"
            "\"\\u001BP3;0$lAPPLES\\u000D1.25\\u000DA/4.20/5.25/E6\\u001B\\\\\"},"
            "{\"kind\":\"end frame\",\"offset\":146,\"bytes\":"
            "\"\\u001BP1;0;1$e\\u000DTHANK YOU\\u000D0.00/13.75/85\\u001B\\\\\"}],"
            "\"whole\":true,\"ok\":true,\"problems\":[]}\n");
}

TEST(DecodeTest, TellsRawCaptureFromTranscript) {
  const Decoded raw = DecodeContents(kGoodRaw, "line.bin", false);
  EXPECT_EQ(raw.status, kPrinterOk);
  EXPECT_EQ(raw.output, Replace(kGoodOutput, "fiskal.log: transcript", "line.bin: raw capture"));
  EXPECT_NE(DecodeContents(kGoodRaw, "x", true).output.find("\"format\":\"raw capture\""),
            std::string::npos);
  EXPECT_EQ(DecodeContents("", "fiskal.log", false).output.substr(0, 32),
            "fiskal.log: transcript, 0 texts\n");
}

TEST(DecodeTest, TranscriptCutInsideARecord) {
  const Decoded d = DecodeContents(CutAfter(kGoodLog, "APP"), "fiskal.log", false);
  EXPECT_EQ(d.status, kPrinterProblems);
  EXPECT_EQ(d.output,
            "fiskal.log: transcript, 5 texts\n"
            "\n"
            "version  ver.:0.6a\n"
            "begin    receipt opened\n"
            "\n"
            "    #  name     quantity  tax  unit price  line value\n"
            "    1  BREAD        1.00  A          2.50        2.50\n"
            "    2  MILK 2%      2.00  B          3.00        6.00\n"
            "\n"
            "end      (none)\n"
            "\n"
            "receipt NOT whole (version, begin or end missing), 3 problems:\n"
            "  offset 106: record without its closing double quote and CR LF\n"
            "  text 5 (truncated frame): frame without its closing ESC \\ (truncated)\n"
            "  no end frame: the receipt was left open\n");
}

TEST(DecodeTest, CorruptedReceiptsNameEveryProblem) {
  const std::string item2 = "\x1bP2;0$lMILK 2%\r2.00\rB/3.00/6.00/CE\x1b\\";
  const std::string end = "\x1bP1;0;1$e\rTHANK YOU\r0.00/13.75/85\x1b\\";
  struct Case {
    const char* what;
    std::string contents;
    const char* first_line;
    // From the verdict to the end of the output.
    std::string verdict;
  };
  const Case cases[] = {
      {"flipped checksum digit", Replace(kGoodLog, "AC\x1b", "AD\x1b"),
       "f: transcript, 6 texts",
       "receipt begun and ended, but with 1 problem:\n"
       "  text 3 (item 1): checksum AD does not match the body (the body gives AC)\n"},
      {"dropped item record", Replace(kGoodLog, "\"" + item2 + "\"\r\n", ""),
       "f: transcript, 5 texts",
       "receipt begun and ended, but with 2 problems:\n"
       "  text 4 (item 3): item number 3 where 2 was due\n"
       "  text 5 (end frame): total 13.75 is not the sum of the line values (7.75)\n"},
      // The checksum changes with the total: 85 for 13.75, 80 for 13.70.
      {"wrong total", Replace(kGoodLog, "13.75/85", "13.70/80"),
       "f: transcript, 6 texts",
       "receipt begun and ended, but with 1 problem:\n"
       "  text 6 (end frame): total 13.70 is not the sum of the line values (13.75)\n"},
      {"raw capture cut inside a frame", CutAfter(kGoodRaw, "APP"),
       "f: raw capture, 5 texts",
       "receipt NOT whole (version, begin or end missing), 2 problems:\n"
       "  text 5 (truncated frame): frame without its closing ESC \\ (truncated)\n"
       "  no end frame: the receipt was left open\n"},
      {"raw capture that lost the end of a frame", CutAfter(kGoodRaw, "APP") + end,
       "f: raw capture, 6 texts",
       "receipt begun and ended, but with 2 problems:\n"
       "  text 5 (truncated frame): frame without its closing ESC \\ (truncated)\n"
       "  text 6 (end frame): total 13.75 is not the sum of the line values (8.50)\n"},
      {"text after the end frame", kGoodLog + "\"\x1bP0;0$h88\x1b\\\"\r\n",
       "f: transcript, 7 texts",
       "receipt begun and ended, but with 1 problem:\n"
       "  text 7 (begin frame): text after the end frame\n"},
      {"stray bytes in a raw capture", Replace(kGoodRaw, "\\\x1bP1;0$l", "\\xyz\x1bP1;0$l"),
       "f: raw capture, 7 texts",
       "receipt begun and ended, but with 1 problem:\n"
       "  text 3 (stray bytes): 3 bytes outside any frame\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Decoded d = DecodeContents(c.contents, "f", false);
    EXPECT_EQ(d.status, kPrinterProblems);
    EXPECT_EQ(d.output.substr(0, d.output.find('\n')), c.first_line);
    const std::size_t verdict = d.output.rfind("\n\nreceipt ");
    ASSERT_NE(verdict, std::string::npos) << d.output;
    EXPECT_EQ(d.output.substr(verdict + 2), c.verdict);
  }
}

}  // namespace
}  // namespace fiskal

#include "receipt/receipt.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/frames.h"

namespace fiskal {
namespace {

constexpr char kVersion[] = "ver.:0.6a";
constexpr char kBegin[] = "\x1bP0;0$h88\x1b\\";

std::vector<std::string> Bytes(const Receipt& receipt) {
  std::vector<std::string> bytes;
  for (const Text& text : receipt.texts) bytes.push_back(text.bytes);
  return bytes;
}

// The message of a refusal, which must name the input line.
std::string Refusal(const std::string& contents, int line) {
  Receipt receipt;
  const Status status = PrepareReceipt(contents, "fiskal.txt", &receipt);
  EXPECT_FALSE(status.ok()) << testing::PrintToString(contents);
  const std::string prefix = "fiskal.txt:" + std::to_string(line) + ": ";
  EXPECT_EQ(status.message().substr(0, prefix.size()), prefix)
      << status.message();
  return status.message();
}

TEST(PrepareReceiptTest, HeaderOnlyGivesThreeTexts) {
  for (const std::string contents : {"1;THANK YOU", "1;THANK YOU\r\n"}) {
    SCOPED_TRACE(testing::PrintToString(contents));
    Receipt receipt;
    const Status status = PrepareReceipt(contents, "fiskal.txt", &receipt);
    ASSERT_TRUE(status.ok()) << status.message();
    EXPECT_EQ(receipt.nPort, 1);
    const std::vector<std::string> expected = {
        kVersion,
        kBegin,
        "\x1bP1;0;1$e\rTHANK YOU\r0.00/0.00/B5\x1b\\",
    };
    EXPECT_EQ(Bytes(receipt), expected);
  }
}

TEST(PrepareReceiptTest, LabelsAndPauses) {
  Receipt receipt;
  const Status status = PrepareReceipt(
      "0;F\r\n1\tA\t1\t100\t100\t\r\n2\tB\t1\t100\t100\t\r\n", "fiskal.txt",
      &receipt);
  ASSERT_TRUE(status.ok()) << status.message();
  ASSERT_EQ(receipt.texts.size(), 5u);
  const std::string labels[] = {"version text", "begin frame", "item 1",
                                "item 2", "end frame"};
  const bool pauses[] = {false, true, true, true, false};
  for (std::size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(receipt.texts[i].label, labels[i]);
    EXPECT_EQ(receipt.texts[i].pause_after, pauses[i]);
  }
}

TEST(PrepareReceiptTest, SmallReceiptByteExact) {
  // Line 3 keeps the price of line 2; line 4 keeps quantity and price and
  // brings an empty tax code.
  const std::string contents =
      "0;THANK YOU\r\n"
      "1\tBREAD\t1\t100\t250\tpcs\t\r\n"
      "2\tMILK\t2\t300\t\r\n"
      "3\tEGGS\t\t\r\n";
  Receipt receipt;
  const Status status = PrepareReceipt(contents, "fiskal.txt", &receipt);
  ASSERT_TRUE(status.ok()) << status.message();
  EXPECT_EQ(receipt.nPort, 0);
  const std::vector<std::string> expected = {
      kVersion,
      kBegin,
      "\x1bP1;0$lBREAD\r1.00\rA/2.50/2.50/AC\x1b\\",
      "\x1bP2;0$lMILK\r3.00\rB/2.50/7.50/F8\x1b\\",
      "\x1bP3;0$lEGGS\r3.00\rX/2.50/7.50/F6\x1b\\",
      "\x1bP1;0;1$e\rTHANK YOU\r0.00/17.50/86\x1b\\",
  };
  EXPECT_EQ(Bytes(receipt), expected);
}

TEST(PrepareReceiptTest, TotalIsSumOfRoundedLineValues) {
  // 0.57 times 0.50 is held just below 0.285 and prints as 0.29; the total
  // adds the printed line values (0.58), not the raw products (0.57).
  const std::string contents =
      "0\r\n"
      "1\tA\t1\t50\t57\t\r\n"
      "2\tB\t1\t50\t57\t\r\n";
  Receipt receipt;
  const Status status = PrepareReceipt(contents, "fiskal.txt", &receipt);
  ASSERT_TRUE(status.ok()) << status.message();
  const std::vector<std::string> expected = {
      kVersion,
      kBegin,
      "\x1bP1;0$lA\r0.50\rA/0.57/0.29/B0\x1b\\",
      "\x1bP2;0$lB\r0.50\rA/0.57/0.29/B0\x1b\\",
      "\x1bP1;0;1$e\r\r0.00/0.58/83\x1b\\",
  };
  EXPECT_EQ(Bytes(receipt), expected);
}

TEST(PrepareReceiptTest, EmptyItemLinesSkippedWithoutNumber) {
  const std::string contents =
      "0;F\r\n"
      "\r\n"
      "1\tA\t1\t100\t100\t\r\n"
      "\r"
      "\r\n"
      "1\tB\t1\t100\t100\t\r\n"
      "\r\n";
  Receipt receipt;
  const Status status = PrepareReceipt(contents, "fiskal.txt", &receipt);
  ASSERT_TRUE(status.ok()) << status.message();
  const std::vector<std::string> expected = {
      kVersion,
      kBegin,
      "\x1bP1;0$lA\r1.00\rA/1.00/1.00/BD\x1b\\",
      "\x1bP2;0$lB\r1.00\rA/1.00/1.00/BD\x1b\\",
      "\x1bP1;0;1$e\rF\r0.00/2.00/CA\x1b\\",
  };
  EXPECT_EQ(Bytes(receipt), expected);
  ASSERT_EQ(receipt.texts.size(), 5u);
  EXPECT_EQ(receipt.texts[3].label, "item 2");
}

TEST(PrepareReceiptTest, ShortenedNameInFrame) {
  const std::string contents =
      "0\r\n1\t" + std::string(37, 'A') + "   BCDEF\t1\t100\t100\t\r\n";
  Receipt receipt;
  const Status status = PrepareReceipt(contents, "fiskal.txt", &receipt);
  ASSERT_TRUE(status.ok()) << status.message();
  ASSERT_EQ(receipt.texts.size(), 4u);
  EXPECT_EQ(receipt.texts[2].bytes, "\x1bP1;0$l" + std::string(37, 'A') +
                                        "\r1.00\rA/1.00/1.00/BD\x1b\\");
}

TEST(PrepareReceiptTest, SpacesForTabsRefusedWithLineNumber) {
  const std::string message =
      Refusal("0;F\r\n1 BREAD 1 100 250 pcs\r\n", 2);
  EXPECT_NE(message.find("TAB"), std::string::npos) << message;
  // Skipped empty lines still count in the line number.
  Refusal("0;F\r\n\r\n1\tA\t1\t100\t100\t\r\n\r\n1 BREAD 1 100 250\r\n", 5);
}

TEST(PrepareReceiptTest, ItemValueRefusalsNameTheLine) {
  Refusal("0;F\r\n1\tA\t1\t-100\t100\t\r\n", 2);
  Refusal("0;F\r\n1\tA\t1\t100\t100\t\r\n1\tB\t1\t100\t-1\t\r\n", 3);
  Refusal("0;F\r\n1\tBR\x1b" "EAD\t1\t100\t100\t\r\n", 2);
}

std::string Items(int count) {
  std::string contents = "0\r\n";
  for (int i = 0; i < count; ++i) contents += "1\tA\t1\t100\t100\t\r\n";
  return contents;
}

TEST(PrepareReceiptTest, At255Items) {
  Receipt receipt;
  // Trailing empty lines are skipped, so they do not count as a 256th item.
  const Status status =
      PrepareReceipt(Items(255) + "\r\n\r\n", "fiskal.txt", &receipt);
  ASSERT_TRUE(status.ok()) << status.message();
  ASSERT_EQ(receipt.texts.size(), 258u);
  EXPECT_EQ(receipt.texts[256].label, "item 255");
  EXPECT_EQ(receipt.texts[256].bytes,
            "\x1bP255;0$lA\r1.00\rA/1.00/1.00/BE\x1b\\");
  EXPECT_EQ(receipt.texts[257].bytes, "\x1bP1;0;1$e\r\r0.00/255.00/8C\x1b\\");
}

TEST(PrepareReceiptTest, Item256Refused) {
  Refusal(Items(256), 257);
}

TEST(PrepareReceiptTest, LineProductBeyondRangeRefused) {
  // 1e38 times 10 does not fit a 32-bit float.
  Refusal("0\r\n1\tA\t1\t1e40\t1000\t\r\n", 2);
}

TEST(PrepareReceiptTest, TotalBeyondRangeRefused) {
  // Each line value, 2e38, fits; their sum does not.
  const std::string line = "1\tA\t1\t2e40\t100\t\r\n";
  Refusal("0\r\n" + line + line, 3);
}

TEST(PrepareReceiptTest, EscInFooterRefusedAtLine1) {
  Refusal("0;THANK\x1bYOU\r\n1\tA\t1\t100\t100\t\r\n", 1);
}

TEST(PrepareReceiptTest, EmptyInputRefused) {
  Receipt receipt;
  const Status status = PrepareReceipt("", "fiskal.txt", &receipt);
  EXPECT_FALSE(status.ok());
  EXPECT_NE(status.message().find("fiskal.txt"), std::string::npos)
      << status.message();
}

TEST(PrepareReceiptTest, EmptyHeaderLineIsLogOnly) {
  Receipt receipt;
  const Status status = PrepareReceipt("\r\n", "fiskal.txt", &receipt);
  ASSERT_TRUE(status.ok()) << status.message();
  EXPECT_EQ(receipt.nPort, 0);
  const std::vector<std::string> expected = {
      kVersion, kBegin, "\x1bP1;0;1$e\r\r0.00/0.00/8E\x1b\\"};
  EXPECT_EQ(Bytes(receipt), expected);
}

// A file with LF-only line ends is one header line whose footer holds the
// item lines, TABs included: refused, not printed as an empty receipt. An
// LF inside a footer without a TAB still prints as it stands.
TEST(PrepareReceiptTest, TabInFooterRefusedLfInFooterPrinted) {
  const std::string message =
      Refusal("1;THANK YOU\n1\tBREAD\t1\t100\t250\t\n", 1);
  EXPECT_NE(message.find("LF-only line ends"), std::string::npos) << message;
  Refusal("0;A\tB\r\n", 1);

  Receipt receipt;
  const Status status = PrepareReceipt(
      "1;THANK YOU\nSEE YOU\r\n1\tBREAD\t1\t100\t250\t\r\n", "fiskal.txt",
      &receipt);
  ASSERT_TRUE(status.ok()) << status.message();
  ASSERT_EQ(receipt.texts.size(), 4u);
  EXPECT_EQ(receipt.texts[3].bytes,
            Frame("1;0;1$e\rTHANK YOU\nSEE YOU\r0.00/2.50/"));
}

}  // namespace
}  // namespace fiskal

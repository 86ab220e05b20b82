#include "receipt/analiza.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace fiskal {
namespace {

using namespace std::string_literals;

// Item values as an earlier line left them.
struct Values {
  std::string cNazwa = "OLD";
  std::string cVAT = "9";
  float nSzt = 7.5f;
  float nCena = 8.25f;
};

TEST(AnalizaTest, FieldTable) {
  struct Case {
    std::string line;
    Values expected;
  };
  const Case cases[] = {
      {"1\tBREAD\t1\t100\t250\tpcs\t", {"BREAD", "1", 1.0f, 2.5f}},
      // The price has no closing TAB: it is not taken.
      {"1\tBREAD\t1\t100\t250", {"BREAD", "1", 1.0f, 8.25f}},
      {"x\tMILK\t2\t300\t", {"MILK", "2", 3.0f, 8.25f}},
      {"x\tMILK\t2\t300", {"MILK", "2", 7.5f, 8.25f}},
      {"x\tMILK\t", {"MILK", "9", 7.5f, 8.25f}},
      {"x\tMILK\t2", {"MILK", "9", 7.5f, 8.25f}},
      // Empty fields are taken: empty texts, zero amounts.
      {"\t\t\t\t\t", {"", "", 0.0f, 0.0f}},
      // Fields 6 and later are ignored, whatever they hold.
      {"1\tA\t1\t100\t250\tpcs\t-5\t\x1b\t1e999\t\t\tx",
       {"A", "1", 1.0f, 2.5f}},
      // Text after the last TAB is dropped, whatever it holds.
      {"1\tA\t1\t100\t250\tkg\x1b", {"A", "1", 1.0f, 2.5f}},
      {"1\tA\t1\t100\t250\t-1", {"A", "1", 1.0f, 2.5f}},
      // Name and code are taken unchanged.
      {"x\t  BIG  BREAD  \t 1 \t", {"  BIG  BREAD  ", " 1 ", 7.5f, 8.25f}},
      {"x\tA/B;C\"D\"\xA3\t01\t", {"A/B;C\"D\"\xA3", "01", 7.5f, 8.25f}},
      {"x\tA\nB\t", {"A\nB", "9", 7.5f, 8.25f}},
      // Quantity in hundredths.
      {"x\tA\t1\t150\t", {"A", "1", 1.5f, 8.25f}},
      {"x\tA\t1\t1 5 0\t", {"A", "1", 1.5f, 8.25f}},
      {"x\tA\t1\t12.5\t", {"A", "1", 0.12f, 8.25f}},   // 0.125: to even
      {"x\tA\t1\t37.5\t", {"A", "1", 0.38f, 8.25f}},   // 0.375: to even
      {"x\tA\t1\t112.5\t", {"A", "1", 1.12f, 8.25f}},  // 1.125: to even
      {"x\tA\t1\t12,50\t", {"A", "1", 0.12f, 8.25f}},
      {"x\tA\t1\tabc\t", {"A", "1", 0.0f, 8.25f}},
      {"x\tA\t1\t\t", {"A", "1", 0.0f, 8.25f}},
      {"x\tA\t1\t-0\t-0\t", {"A", "1", 0.0f, 0.0f}},
      {"x\tA\t1\t1E2\t1e4\t", {"A", "1", 1.0f, 100.0f}},
      // Held as 131072.015625, the nearest 32-bit float.
      {"x\tA\t1\t100\t13107201\t", {"A", "1", 1.0f, 131072.01f}},
      {"x\tA\t1\t100\t9999999\t", {"A", "1", 1.0f, 99999.99f}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.line));
    Values v;
    const Status status = Analiza(c.line, v.cNazwa, v.cVAT, v.nSzt, v.nCena);
    ASSERT_TRUE(status.ok()) << status.message();
    EXPECT_EQ(v.cNazwa, c.expected.cNazwa);
    EXPECT_EQ(v.cVAT, c.expected.cVAT);
    EXPECT_EQ(v.nSzt, c.expected.nSzt);
    EXPECT_EQ(v.nCena, c.expected.nCena);
    // No amount is ever stored as -0.
    EXPECT_FALSE(std::signbit(v.nSzt));
    EXPECT_FALSE(std::signbit(v.nCena));
  }
}

TEST(AnalizaTest, ValuesCarryOverBetweenLines) {
  std::string cNazwa, cVAT;
  float nSzt = 0, nCena = 0;

  // First line without a closing TAB on the price: the price stays 0.
  ASSERT_TRUE(Analiza("1\tBREAD\t1\t100\t250", cNazwa, cVAT, nSzt, nCena).ok());
  EXPECT_EQ(cNazwa, "BREAD");
  EXPECT_EQ(cVAT, "1");
  EXPECT_EQ(nSzt, 1.0f);
  EXPECT_EQ(nCena, 0.0f);

  ASSERT_TRUE(
      Analiza("2\tROLL\t2\t200\t250\tpcs\t", cNazwa, cVAT, nSzt, nCena).ok());
  EXPECT_EQ(cNazwa, "ROLL");
  EXPECT_EQ(cVAT, "2");
  EXPECT_EQ(nSzt, 2.0f);
  EXPECT_EQ(nCena, 2.5f);

  ASSERT_TRUE(Analiza("3\tMILK\t3\t300\t", cNazwa, cVAT, nSzt, nCena).ok());
  EXPECT_EQ(cNazwa, "MILK");
  EXPECT_EQ(cVAT, "3");
  EXPECT_EQ(nSzt, 3.0f);
  EXPECT_EQ(nCena, 2.5f);

  ASSERT_TRUE(Analiza("4\tEGGS\t", cNazwa, cVAT, nSzt, nCena).ok());
  EXPECT_EQ(cNazwa, "EGGS");
  EXPECT_EQ(cVAT, "3");
  EXPECT_EQ(nSzt, 3.0f);
  EXPECT_EQ(nCena, 2.5f);
}

TEST(AnalizaTest, RefusedLines) {
  const std::string refused[] = {
      // Fewer than two TABs: nothing would be set (spaces written for TABs).
      "",
      "1",
      "1 BREAD 1 100 250 pcs ",
      "1\tBREAD 1 100 250 pcs ",
      "\t",
      // Negative amounts.
      "1\tA\t1\t-100\t250\t",
      "1\tA\t1\t100\t-250\t",
      "1\tA\t1\t-1\t",
      // Beyond the range of 32-bit floats.
      "1\tA\t1\t1e41\t",
      "1\tA\t1\t100\t1e41\t",
      "1\tA\t1\t100\t1e999\t",
      "1\tA\t1\t100\t-1e999\t",
      // An ESC in the name would end the frame early.
      "1\tBR\x1b\x45\x41\x44\t1\t100\t250\t",  // ESC then "EAD"
      "1\t\x1b\t",
  };
  for (const std::string& line : refused) {
    SCOPED_TRACE(testing::PrintToString(line));
    Values v;
    const Status status = Analiza(line, v.cNazwa, v.cVAT, v.nSzt, v.nCena);
    EXPECT_FALSE(status.ok());
    EXPECT_FALSE(status.message().empty());
  }
}

TEST(AnalizaTest, SpacesForTabsMessageNamesTabs) {
  Values v;
  const Status status =
      Analiza("1 BREAD 1 100 250 pcs", v.cNazwa, v.cVAT, v.nSzt, v.nCena);
  ASSERT_FALSE(status.ok());
  EXPECT_NE(status.message().find("TAB"), std::string::npos)
      << status.message();
}

TEST(ReadAmountTest, AcceptedTable) {
  struct Case {
    std::string field;
    float expected;
  };
  const Case cases[] = {
      {"150", 1.5f},
      {"1 5 0", 1.5f},
      {"+250", 2.5f},
      {"100", 1.0f},
      {"1", 0.01f},
      {"12.5", 0.12f},    // 0.125 halves to even
      {"37.5", 0.38f},    // 0.375 halves to even
      {"112.5", 1.12f},   // 1.125 halves to even
      {"54.5", 0.55f},    // 0.545 is held just above the half
      {"12.4", 0.12f},
      {"12.6", 0.13f},
      {"12,50", 0.12f},
      {"1E2", 1.0f},
      {"abc", 0.0f},
      {"", 0.0f},
      {"-0", 0.0f},
      {"-0.0", 0.0f},
      {"9999999", 99999.99f},
      {"13107201", 131072.01f},
      // 1e40 hundredths are 1e38, still within the 32-bit range.
      {"1e40", 1e38f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.field));
    float out = -1.0f;
    const Status status = ReadAmount(c.field, "quantity", &out);
    ASSERT_TRUE(status.ok()) << status.message();
    EXPECT_EQ(out, c.expected);
    EXPECT_FALSE(std::signbit(out));
  }
}

TEST(ReadAmountTest, RefusedTable) {
  const std::string refused[] = {
      "-1", "-100", "-250", "- 1", "-1e40",
      "1e41", "1e999", "-1e999", "1" + std::string(400, '0'),
  };
  for (const std::string& field : refused) {
    SCOPED_TRACE(testing::PrintToString(field));
    float out = 0.0f;
    const Status status = ReadAmount(field, "unit price", &out);
    EXPECT_FALSE(status.ok());
    EXPECT_NE(status.message().find("unit price"), std::string::npos)
        << status.message();
  }
}

}  // namespace
}  // namespace fiskal

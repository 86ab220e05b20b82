#include "service/receipt_form.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace fiskal::service {
namespace {

std::vector<std::string> Texts(const Receipt& receipt) {
  std::vector<std::string> texts;
  for (const Text& t : receipt.texts) texts.push_back(t.bytes);
  return texts;
}

// The JSON form gives the frames of the fiskal.txt that holds the same
// values, byte for byte.
TEST(ReceiptForm, JsonGivesTheFramesOfTheSameFiskalTxt) {
  struct Case {
    std::string json;
    std::string fiskal_txt;
  };
  const Case cases[] = {
      {R"({"port": 1, "footer": "THANK YOU", "items": [
           {"name": "BREAD", "tax": "1", "quantity": "1.00", "price": "2.50"},
           {"name": "MILK 2%", "tax": "2", "quantity": 2, "price": 3},
           {"name": "APPLES", "tax": "1", "quantity": "1.25", "price": 4.2}]})",
       "1;THANK YOU\r\n1\tBREAD\t1\t100\t250\tpcs\t\r\n2\tMILK 2%\t2\t200\t300\tl\t\r\n"
       "3\tAPPLES\t1\t125\t420\tkg\t\r\n"},
      // No footer, no items; a footer may print on several lines.
      {R"({"port": 0, "items": []})", "0;\r\n"},
      // A JSON number is written as it reads back: 1e3 is 1000.0.
      {R"({"port": 0, "items": [{"name": "A", "tax": "1", "quantity": 1e3, "price": 0.1}]})",
       "0;\r\n1\tA\t1\t100000\t10\t\r\n"},
      {R"({"port": 0, "footer": "SEE\nYOU", "items": []})", "0;SEE\nYOU"},
      // UTF-8 passes as its bytes; a long name is cut as fiskal cuts it.
      {R"({"port": 0, "footer": "DZI\u0118KUJEMY", "items": [{"name": ")" +
           std::string(45, 'N') + R"(", "tax": "x", "quantity": "0.5", "price": "131072.01"}]})",
       "0;DZI\xc4\x98KUJEMY\r\n1\t" + std::string(45, 'N') + "\tx\t50\t13107201\t\t\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    std::string converted;
    ASSERT_FALSE(JsonToFiskalTxt(c.json, &converted).has_value());
    Receipt from_json, from_text;
    ASSERT_FALSE(PrepareFromText(converted, true, &from_json).has_value());
    ASSERT_FALSE(PrepareFromText(c.fiskal_txt, false, &from_text).has_value());
    EXPECT_EQ(Texts(from_json), Texts(from_text));
    EXPECT_EQ(from_json.nPort, from_text.nPort);
  }
}

TEST(ReceiptForm, Refusals) {
  struct Case {
    std::string json;
    int status;
    std::string detail;  // the start of it
    std::optional<std::size_t> item;
  };
  const std::string bread = R"({"name": "BREAD", "tax": "1", "quantity": "1", "price": "2.50"})";
  const Case cases[] = {
      {"{", 400, "the body is not well-formed JSON", {}},
      {"[]", 400, "the body must be a JSON object", {}},
      {R"({"items": []})", 400, "the receipt lacks the field \"port\"", {}},
      {R"({"port": 1, "items": [], "fotter": "X"})", 400, "the receipt has an unknown field", {}},
      {R"({"port": "1", "items": []})", 400, "port must be a whole number", {}},
      {R"({"port": 12, "items": []})", 422, "port 12 does not exist", {}},
      {R"({"port": 1, "items": {}})", 400, "items must be an array", {}},
      {R"({"port": 1, "items": [)" + bread + R"(, {"name": 5, "tax": "1", "quantity": "1",
          "price": "1"}]})", 400, "items[1].name must be a string", {}},
      {R"({"port": 1, "items": [{"name": "A\tB", "tax": "1", "quantity": "1", "price": "1"}]})",
       422, "items[0].name holds a TAB", 0},
      {R"({"port": 1, "items": [{"name": "A\u001bB", "tax": "1", "quantity": "1",
          "price": "1"}]})", 422, "items[0].name holds an ESC byte (27), which would end", 0},
      {R"({"port": 1, "items": [{"name": "A", "tax": "1\n", "quantity": "1", "price": "1"}]})",
       422, "items[0].tax holds an LF", 0},
      {R"({"port": 1, "footer": "A\rB", "items": []})", 422, "footer holds a CR", {}},
      {R"({"port": 1, "items": [{"name": "A", "tax": "1", "quantity": "1.255", "price": "1"}]})",
       422, "items[0].quantity \"1.255\" is not an amount", 0},
      {R"({"port": 1, "items": [{"name": "A", "tax": "1", "quantity": "1", "price": -2.5}]})",
       422, "items[0].price \"-2.5\" is negative", 0},
      {R"({"port": 1, "items": [{"name": "A", "tax": "1", "quantity": [], "price": "1"}]})", 400,
       "items[0].quantity must be a decimal string", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    std::string converted;
    const auto problem = JsonToFiskalTxt(c.json, &converted);
    ASSERT_TRUE(problem.has_value());
    EXPECT_EQ(problem->http_status, c.status);
    EXPECT_EQ(problem->detail.substr(0, c.detail.size()), c.detail) << problem->detail;
    EXPECT_EQ(problem->item, c.item);
  }
}

// What fiskal refuses is refused with its reason: the line for the text
// form, the item for the JSON form.
TEST(ReceiptForm, FiskalsReasonsWithLineOrItem) {
  Receipt receipt;
  auto text = PrepareFromText("1;T\r\n1\tA\t1\t100\t100\t\r\n2 B 1 100 100\r\n", false, &receipt);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(text->http_status, 422);
  EXPECT_EQ(text->line, 3u);
  EXPECT_EQ(text->detail,
            "fiskal.txt:3: item line has 0 TABs and sets no item value; fields must be separated "
            "by TAB characters (at least two TABs: number, name, ...); nothing was sent");

  std::string many = R"({"port": 0, "items": [)";
  for (int i = 0; i < 256; ++i) {
    many += std::string(i ? "," : "") + R"({"name": "A", "tax": "1", "quantity": "1", "price": "1"})";
  }
  many += "]}";
  std::string converted;
  ASSERT_FALSE(JsonToFiskalTxt(many, &converted).has_value());
  auto json = PrepareFromText(converted, true, &receipt);
  ASSERT_TRUE(json.has_value());
  EXPECT_EQ(json->item, 255u);
  EXPECT_EQ(json->detail, "items[255]: a receipt holds at most 255 items; nothing was sent");

  auto lf_only = PrepareFromText("1;THANK YOU\n1\tBREAD\t1\t100\t250\t\n", false, &receipt);
  ASSERT_TRUE(lf_only.has_value());
  EXPECT_EQ(lf_only->line, 1u);
}

TEST(ReceiptForm, DecimalToHundredths) {
  const std::pair<const char*, const char*> taken[] = {
      {"1.25", "125"}, {"3", "300"}, {"0.5", "50"}, {"0", "0"}, {"007.10", "710"}, {"0.05", "5"}};
  for (const auto& [decimal, field] : taken) EXPECT_EQ(DecimalToHundredths(decimal), field);
  for (const char* bad : {"", ".5", "1.", "1.234", "1,25", "-1", "+1", "1e2", " 1", "0x10"}) {
    EXPECT_FALSE(DecimalToHundredths(bad).has_value()) << bad;
  }
}

}  // namespace
}  // namespace fiskal::service

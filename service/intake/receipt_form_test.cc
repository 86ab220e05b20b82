#include "service/intake/receipt_form.h"

#include <gtest/gtest.h>

#include <optional>
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
  // The JSON form is refused at its 256th item as it is read, with the
  // answer fiskal gives the fiskal.txt it would be written out as.
  std::string converted;
  auto json = JsonToFiskalTxt(many, &converted);
  ASSERT_TRUE(json.has_value());
  EXPECT_EQ(json->http_status, 422);
  EXPECT_EQ(json->item, 255u);
  EXPECT_EQ(json->detail, "items[255]: a receipt holds at most 255 items; nothing was sent");
  std::string written_out = "0;\r\n";
  for (int i = 0; i < 256; ++i) written_out += std::to_string(i + 1) + "\tA\t1\t100\t100\t\r\n";
  auto fiskals = PrepareFromText(written_out, true, &receipt);
  ASSERT_TRUE(fiskals.has_value());
  EXPECT_EQ(fiskals->http_status, json->http_status);
  EXPECT_EQ(fiskals->item, json->item);
  EXPECT_EQ(fiskals->detail, json->detail);

  auto lf_only = PrepareFromText("1;THANK YOU\n1\tBREAD\t1\t100\t250\t\n", false, &receipt);
  ASSERT_TRUE(lf_only.has_value());
  EXPECT_EQ(lf_only->line, 1u);
}

std::string Items(int from, int to) {
  std::string items;
  for (int i = from; i < to; ++i) {
    items += std::string(i > from ? "," : "") +
             R"({"name": "A", "tax": "1", "quantity": "1", "price": "1"})";
  }
  return items;
}

// A body is refused at the first thing wrong in it, before the rest is
// read: what follows (even text that is not JSON at all) changes nothing.
TEST(ReceiptForm, RefusedWhereTheFaultIsBeforeTheRestIsRead) {
  struct Case {
    const char* what;
    std::string json;
    int status;
    std::string detail;
    std::optional<std::size_t> item;
  };
  const std::string too_many = "items[255]: a receipt holds at most 255 items; nothing was sent";
  const std::string junk = "]]]{{{ not JSON" + std::string(100000, '[');
  const Case cases[] = {
      {"10 000 items", R"({"port": 0, "items": [)" + Items(0, 10000) + "]}", 422, too_many, 255},
      {"256 items, then no JSON", R"({"port": 0, "items": [)" + Items(0, 256) + junk, 422,
       too_many, 255},
      {"the 256th item is not even an item", R"({"port": 0, "items": [)" + Items(0, 255) +
       ", 7" + junk, 422, too_many, 255},
      {"port after the items is never read", R"({"items": [)" + Items(0, 300) +
       R"(], "port": 12})", 422, too_many, 255},
      {"a member twice before the 256th item", R"({"port": 0, "items": [)" + Items(0, 10) +
       R"(, {"name": "A", "name": "B"}, )" + Items(0, 1000) + "]}", 400,
       "the body has the member \"name\" twice in one object", {}},
      {"a member twice after it", R"({"port": 0, "items": [)" + Items(0, 1000) +
       R"(, {"name": "A", "name": "B"}]})", 422, too_many, 255},
      {"port twice, the items after", R"({"port": 0, "port": 1, "items": [)" + Items(0, 1000) +
       "]}", 400, "the body has the member \"port\" twice in one object", {}},
      {"an unknown member holding much", R"({"port": 0, "junk": [)" + Items(0, 1000) + junk, 400,
       "the receipt has an unknown field \"junk\"", {}},
      {"an unknown member of an item", R"({"port": 0, "items": [{"name": "A", "extra": [)" +
       Items(0, 1000) + junk, 400, "items[0] has an unknown field \"extra\"", {}},
      {"a list for port", R"({"port": [)" + Items(0, 1000) + junk, 400, "port must be a whole number from 0 to 9", {}},
      {"an object for the footer", R"({"footer": {"a": 1}, "port": 0, "items": []})", 400,
       "footer must be a string", {}},
      {"items an object", R"({"port": 0, "items": {"a": [)" + Items(0, 100) + junk, 400,
       "items must be an array", {}},
      {"an item a list", R"({"port": 0, "items": [[)" + Items(0, 100) + junk, 400,
       "items[0] must be an object", {}},
      {"a name that is a list", R"({"port": 0, "items": [{"name": [)" + Items(0, 100) + junk,
       400, "items[0].name must be a string", {}},
      {"a price that is an object", R"({"port": 0, "items": [{"price": {"a": [)" + junk, 400,
       "items[0].price must be a decimal string", {}},
      {"the body a list", "[" + Items(0, 1000) + junk, 400, "the body must be a JSON object", {}},
      {"nested junk in an item", R"({"port": 0, "items": [{"name": "A", "tax": {"x": )" +
       std::string(40, '[') + junk, 400, "items[0].tax must be a string", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string converted;
    const auto problem = JsonToFiskalTxt(c.json, &converted);
    ASSERT_TRUE(problem.has_value());
    EXPECT_EQ(problem->http_status, c.status);
    EXPECT_EQ(problem->detail.substr(0, c.detail.size()), c.detail) << problem->detail;
    EXPECT_EQ(problem->item, c.item);
  }
}

// The text form is read up to its first item past the most a receipt
// holds: the answer is fiskal's for the whole file, line and all.
TEST(ReceiptForm, TextReadUpToTheFirstItemTooMany) {
  auto items = [](int n, const std::string& between) {
    std::string text;
    for (int i = 0; i < n; ++i) text += std::to_string(i + 1) + "\tA\t1\t100\t100\t\r\n" + between;
    return text;
  };
  const std::string cases[] = {
      "1;T\r\n" + items(255, ""),
      "1;T\r\n" + items(256, ""),
      "1;T\r\n" + items(10000, ""),
      "1;T\r\n" + items(300, "\r\n"),        // empty lines are no items
      "\r\n" + items(300, "\r"),               // an empty header; lines ending in CR
      "1;T\r\n" + items(255, "") + "256 B",   // the last line without an end, and bad
      "1;T\r\n" + items(100, "") + "x\r\n" + items(300, ""),
  };
  for (const std::string& text : cases) {
    SCOPED_TRACE(text.size());
    Receipt whole, read;
    std::size_t line = 0;
    const Status expected = PrepareReceipt(text, "fiskal.txt", &whole, &line);
    const auto problem = PrepareFromText(text, false, &read);
    ASSERT_EQ(problem.has_value(), !expected.ok());
    if (problem) {
      EXPECT_EQ(problem->detail, expected.message() + "; nothing was sent");
      EXPECT_EQ(problem->line.value_or(0), line);
    } else {
      EXPECT_EQ(Texts(read), Texts(whole));
    }
  }
}

TEST(ReceiptForm, DecimalToHundredths) {
  const std::pair<const char*, const char*> taken[] = {
      {"1.25", "125"}, {"3", "300"}, {"0.5", "50"}, {"0", "0"}, {"007.10", "710"}, {"0.05", "5"}};
  for (const auto& [decimal, field] : taken) EXPECT_EQ(DecimalToHundredths(decimal), field);
  for (const char* bad : {"", ".5", "1.", "1.234", "1,25", "-1", "+1", "1e2", " 1", "0x10"}) {
    EXPECT_FALSE(DecimalToHundredths(bad).has_value()) << bad;
  }
}

// A content type names the receipt's form, or is refused with 415 in the
// transport's own words; an empty media type (none given, or parameters
// only) is named as missing.
TEST(ReceiptForm, ContentTypeNamesTheForm) {
  const ContentTypeWords posted{"posted", "without a Content-Type"};
  struct Case {
    std::string content_type;
    int status;  // 0: taken
    bool json;
    std::string detail_ends;
  };
  const Case cases[] = {
      {"application/json", 0, true, ""},
      {"text/plain", 0, false, ""},
      {"text/plain; charset=windows-1250", 0, false, ""},
      {" Application/JSON ;x=y", 0, true, ""},
      {"TEXT/PLAIN\t", 0, false, ""},
      {"application/xml", 415, false, "application/json, not application/xml"},
      {"Text/HTML; charset=utf-8", 415, false, "not text/html"},
      {"text/plain-ish", 415, false, "not text/plain-ish"},
      {"", 415, false, "not without a Content-Type"},
      {"; charset=utf-8", 415, false, "not without a Content-Type"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content_type);
    bool json = !c.json;
    const std::optional<FormProblem> problem = ReceiptFormOf(c.content_type, posted, &json);
    if (c.status == 0) {
      ASSERT_FALSE(problem.has_value()) << problem->detail;
      EXPECT_EQ(json, c.json);
      continue;
    }
    ASSERT_TRUE(problem.has_value());
    EXPECT_EQ(problem->http_status, c.status);
    EXPECT_TRUE(problem->detail.starts_with(
        "a receipt is posted as text/plain (the contents of fiskal.txt) or application/json"))
        << problem->detail;
    EXPECT_TRUE(problem->detail.ends_with(c.detail_ends)) << problem->detail;
  }
  bool json = false;
  EXPECT_EQ(ReceiptFormOf("", {"published", "without a Content Type"}, &json)->detail,
            "a receipt is published as text/plain (the contents of fiskal.txt) or "
            "application/json, not without a Content Type");
}

}  // namespace
}  // namespace fiskal::service

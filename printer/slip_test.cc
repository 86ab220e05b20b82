#include "printer/slip.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/frames.h"

namespace fiskal {
namespace {

ReceiptReport Report(std::vector<std::string> texts) {
  std::vector<RawText> raw;
  raw.reserve(texts.size());
  for (std::string& t : texts) raw.push_back({std::move(t), 0});
  return CheckReceipt(raw);
}

std::string Item(int n, std::string name, float price, float quantity) {
  return PelkLinia(static_cast<std::uint8_t>(n), name, price, quantity, "1");
}

TEST(Slip, DrawsWhatThePrinterPrintsAndEscapesEveryText) {
  struct Case {
    const char* what;
    std::vector<std::string> texts;
    std::vector<std::string> shown;  // in this order
    std::vector<std::string> absent;
  };
  const std::string v(kVersionText);
  const Case cases[] = {
      {"lines, total, footer with an LF",
       {v, PelkStart(), Item(1, "BREAD", 2.5f, 1), Item(2, "MILK", 3, 2), PelkEnd("THANK\nYOU", 8.5f)},
       {"BREAD", "1.00 x 2.50", "2.50 A", "MILK", "2.00 x 3.00", "6.00 A", "TOTAL", "8.50",
        "THANK<br>YOU"},
       {"slip-problems", "slip-open"}},
      {"markup in a name and footer is text",
       {v, PelkStart(), Item(1, "<b>&\"", 1, 1), PelkEnd("<script>", 1)},
       {"&lt;b&gt;&amp;&quot;", "&lt;script&gt;"},
       {"<b>", "<script>"}},
      {"UTF-8 stays, a code page's byte is its Latin-1 letter",
       {v, PelkStart(), Item(1, "\xc5\xbbUR", 1, 1), Item(2, "\xafUR", 1, 1), PelkEnd("", 2)},
       {"\xc5\xbbUR", "&#175;UR"},
       {}},
      {"an open receipt and its problems",
       {v, PelkStart(), Item(2, "X", 1, 1)},
       {"no end frame", "item number 2 where 1 was due"},
       {"TOTAL"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string html = SlipHtml(Report(c.texts));
    std::size_t at = 0;
    for (const std::string& s : c.shown) {
      at = html.find(s, at);
      ASSERT_NE(at, std::string::npos) << s << " in " << html;
    }
    for (const std::string& s : c.absent) EXPECT_EQ(html.find(s), std::string::npos) << s;
  }
  const std::string page = SlipPage(Report({v, PelkStart(), PelkEnd("", 0)}), "a <log>");
  EXPECT_NE(page.find("<title>a &lt;log&gt;</title>"), std::string::npos);
  EXPECT_EQ(page.find("http"), std::string::npos);  // nothing fetched from elsewhere
}

}  // namespace
}  // namespace fiskal

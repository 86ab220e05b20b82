#include "service/intake/receipt_form.h"

#include <nlohmann/json.hpp>

#include "protocol/frames.h"
#include "receipt/receipt.h"
#include "service/intake/strict_json.h"

namespace fiskal::service {

namespace {

using Json = nlohmann::json;

constexpr const char* kDeadlineMustBeAString =
    "deadline must be a string: an RFC 3339 time such as \"2026-12-09T14:30:00Z\"";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

FormProblem BadRequest(const std::string& detail) { return {400, detail, {}, {}, detail}; }

FormProblem Refused(const std::string& reason, std::optional<std::size_t> item = {},
                    std::optional<std::size_t> line = {}) {
  return {422, reason + "; nothing was sent", line, item, reason};
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// "items[2].name" and the like.
std::string ItemField(std::size_t index, const char* field) {
  return "items[" + std::to_string(index) + "]." + field;
}

// The name of a control byte a text must not hold, or nothing.
std::optional<std::string> ForbiddenByte(std::string_view text, std::string_view forbidden) {
  for (char c : text) {
    if (forbidden.find(c) == std::string_view::npos) continue;
    switch (c) {
      case kTab: return "a TAB";
      case kCr: return "a CR";
      case kLf: return "an LF";
      case kEsc: return "an ESC byte (27)";
      default: return "a control byte";
    }
  }
  return std::nullopt;
}

// An amount field: a decimal string, or a JSON number written with at
// most two decimals.
std::optional<FormProblem> AmountField(const Json& item, std::size_t index, const char* field,
                                       std::string* hundredths) {
  const std::string where = ItemField(index, field);
  const Json& value = item.at(field);
  std::string text;
  if (value.is_string()) {
    text = value.get<std::string>();
  } else if (value.is_number()) {
    text = value.dump();  // the shortest form that reads back as the number
  } else {
    return BadRequest(where + " must be a decimal string such as \"1.25\" (or a number)");
  }
  if (!text.empty() && text[0] == '-' && DecimalToHundredths(text.substr(1))) {
    return Refused(where + " \"" + text + "\" is negative; a sale line cannot be negative", index);
  }
  std::optional<std::string> field_text = DecimalToHundredths(text);
  if (!field_text) {
    return Refused(where + " \"" + text +
                       "\" is not an amount in units with at most two decimals, such as "
                       "\"2.50\"",
                   index);
  }
  *hundredths = *field_text;
  return std::nullopt;
}

std::optional<FormProblem> TextField(const Json& object, const std::string& where,
                                     const char* field, std::string_view forbidden,
                                     std::optional<std::size_t> item, std::string* out) {
  const Json& value = object.at(field);
  if (!value.is_string()) return BadRequest(where + " must be a string");
  *out = value.get<std::string>();
  if (auto byte = ForbiddenByte(*out, forbidden)) {
    return Refused(where + " holds " + *byte + ", which " +
                       (*byte == "an ESC byte (27)"
                            ? "would end the printer frame early"
                            : "cannot stand in a line of the receipt"),
                   item);
  }
  return std::nullopt;
}

// Fails when `object` has a key not in `known`, or lacks one in `required`.
std::optional<FormProblem> CheckKeys(const Json& object, const std::string& where,
                                     std::initializer_list<const char*> known,
                                     std::initializer_list<const char*> required) {
  for (const auto& [key, value] : object.items()) {
    bool ok = false;
    for (const char* k : known) ok = ok || key == k;
    if (!ok) {
      std::string detail = where;
      detail += " has an unknown field \"";
      detail += key;
      detail += '"';
      return BadRequest(detail);
    }
  }
  for (const char* k : required) {
    if (!object.contains(k)) return BadRequest(where + " lacks the field \"" + k + "\"");
  }
  return std::nullopt;
}

// The shape of a receipt, checked as it is read: a body is refused at the
// first member no receipt has, at a list or an object where a single value
// belongs, and at the item past the most a receipt holds, before the rest
// is read. The checks after the reading (the values themselves) see at
// most kMaxItems items.
class ReceiptShape : public JsonShape {
 public:
  // Why the body was refused, when this shape refused it.
  const std::optional<FormProblem>& problem() const { return problem_; }

  std::optional<std::string> Begin(const std::vector<JsonStep>& path, JsonKind kind) override {
    const bool single = kind == JsonKind::kScalar;
    switch (path.size()) {
      case 0:
        if (kind == JsonKind::kArray) return Refuse(BadRequest("the body must be a JSON object"));
        return std::nullopt;
      case 1: {
        const std::string& name = path[0].name;
        if (name == "port") {
          if (!single) return Refuse(BadRequest("port must be a whole number from 0 to 9"));
        } else if (name == "footer") {
          if (!single) return Refuse(BadRequest("footer must be a string"));
        } else if (name == "deadline") {
          if (!single) return Refuse(BadRequest(kDeadlineMustBeAString));
        } else if (name == "items") {
          if (kind != JsonKind::kArray) {
            return Refuse(BadRequest("items must be an array (it may be empty)"));
          }
        } else {
          return Refuse(BadRequest("the receipt has an unknown field \"" + name + "\""));
        }
        return std::nullopt;
      }
      case 2: {
        const std::size_t index = path[1].index;
        if (index >= static_cast<std::size_t>(kMaxItems)) {
          // As fiskal refuses the line of a fiskal.txt past the last item.
          return Refuse(Refused("items[" + std::to_string(index) + "]: " + TooManyItems(), index));
        }
        if (kind != JsonKind::kObject) {
          return Refuse(BadRequest("items[" + std::to_string(index) + "] must be an object"));
        }
        return std::nullopt;
      }
      default: {
        const std::size_t index = path[1].index;
        const std::string& name = path[2].name;
        const bool amount = name == "quantity" || name == "price";
        if (!amount && name != "name" && name != "tax") {
          return Refuse(BadRequest("items[" + std::to_string(index) + "] has an unknown field \"" +
                                   name + "\""));
        }
        if (!single) {
          return Refuse(BadRequest(
              ItemField(index, name.c_str()) +
              (amount ? " must be a decimal string such as \"1.25\" (or a number)"
                      : " must be a string")));
        }
        return std::nullopt;
      }
    }
  }

 private:
  std::optional<std::string> Refuse(FormProblem problem) {
    problem_ = std::move(problem);
    return problem_->detail;
  }

  std::optional<FormProblem> problem_;
};

}  // namespace

std::optional<std::string> DecimalToHundredths(std::string_view decimal) {
  const std::size_t dot = decimal.find('.');
  const std::string_view whole = decimal.substr(0, dot);
  const std::string_view fraction =
      dot == std::string_view::npos ? std::string_view() : decimal.substr(dot + 1);
  if (whole.empty() || (dot != std::string_view::npos && fraction.empty()) ||
      fraction.size() > 2) {
    return std::nullopt;
  }
  for (char c : whole) {
    if (!IsDigit(c)) return std::nullopt;
  }
  for (char c : fraction) {
    if (!IsDigit(c)) return std::nullopt;
  }
  std::string hundredths(whole);
  hundredths += fraction;
  hundredths.append(2 - fraction.size(), '0');
  // Leading zeros read the same; keep one digit at least.
  const std::size_t first = hundredths.find_first_not_of('0');
  return first == std::string::npos ? "0" : hundredths.substr(first);
}

std::optional<FormProblem> JsonToFiskalTxt(std::string_view body, std::string* fiskal_txt,
                                           std::optional<std::string>* deadline) {
  Json receipt;
  ReceiptShape shape;
  if (auto problem = ParseStrictJson(body, &receipt, &shape)) {
    return shape.problem() ? *shape.problem() : BadRequest(*problem);
  }
  if (!receipt.is_object()) return BadRequest("the body must be a JSON object");
  if (auto p = CheckKeys(receipt, "the receipt", {"port", "footer", "items", "deadline"},
                         {"port", "items"})) {
    return p;
  }
  if (receipt.contains("deadline")) {
    if (!receipt.at("deadline").is_string()) {
      return BadRequest(kDeadlineMustBeAString);
    }
    if (deadline != nullptr) *deadline = receipt.at("deadline").get<std::string>();
  } else if (deadline != nullptr) {
    deadline->reset();
  }

  const Json& port = receipt.at("port");
  if (!port.is_number_integer()) return BadRequest("port must be a whole number from 0 to 9");
  const std::int64_t port_number = port.get<std::int64_t>();
  if (port_number < 0 || port_number > 9) {
    return Refused("port " + std::to_string(port_number) +
                   " does not exist: 1 to 9 select a serial port, 0 prints log-only");
  }

  std::string footer;
  if (receipt.contains("footer")) {
    // An LF prints the footer on several lines; a TAB has no use there.
    if (auto p = TextField(receipt, "footer", "footer", "\r\x1b\t", {}, &footer)) return p;
  }

  const Json& items = receipt.at("items");
  if (!items.is_array()) return BadRequest("items must be an array (it may be empty)");

  std::string text;
  text += static_cast<char>('0' + port_number);
  text += ';';
  text += footer;
  text += "\r\n";
  for (std::size_t i = 0; i < items.size(); ++i) {
    const Json& item = items[i];
    const std::string where = "items[" + std::to_string(i) + "]";
    if (!item.is_object()) return BadRequest(where + " must be an object");
    if (auto p = CheckKeys(item, where, {"name", "tax", "quantity", "price"},
                           {"name", "tax", "quantity", "price"})) {
      return p;
    }
    std::string name, tax, quantity, price;
    if (auto p = TextField(item, ItemField(i, "name"), "name", "\t\r\n\x1b", i, &name)) return p;
    if (auto p = TextField(item, ItemField(i, "tax"), "tax", "\t\r\n\x1b", i, &tax)) return p;
    if (auto p = AmountField(item, i, "quantity", &quantity)) return p;
    if (auto p = AmountField(item, i, "price", &price)) return p;
    for (const std::string& field : {std::to_string(i + 1), name, tax, quantity, price}) {
      text += field;
      text += '\t';
    }
    text += "\r\n";
  }
  *fiskal_txt = std::move(text);
  return std::nullopt;
}

namespace {

// The start of a fiskal.txt up to the end of the line of its first item
// past the most a receipt holds (all of it when it holds no such line): fiskal
// refuses a receipt at that line at the latest, so what follows it is
// never read. Lines end as SplitLines (receipt/input.h) ends them.
std::string_view UpToTheFirstItemTooMany(std::string_view fiskal_txt) {
  std::size_t start = 0;
  int items = -1;  // the header is the first line
  for (std::size_t i = 0; i < fiskal_txt.size(); ++i) {
    if (fiskal_txt[i] != '\r') continue;
    const bool empty = i == start;
    if (i + 1 < fiskal_txt.size() && fiskal_txt[i + 1] == '\n') ++i;
    if (items < 0 || !empty) ++items;
    if (items > kMaxItems) return fiskal_txt.substr(0, i + 1);
    start = i + 1;
  }
  return fiskal_txt;
}

}  // namespace

std::optional<FormProblem> PrepareFromText(std::string_view fiskal_txt, bool json,
                                           Receipt* receipt) {
  constexpr std::string_view kFile = "fiskal.txt";
  std::size_t line = 0;
  const Status s = PrepareReceipt(UpToTheFirstItemTooMany(fiskal_txt), kFile, receipt, &line);
  if (s.ok()) return std::nullopt;
  if (line == 0) return Refused(s.message());
  if (!json) return Refused(s.message(), {}, line);
  // Line 1 is the header, line 2 the first item: name the item instead.
  const std::string prefix = std::string(kFile) + ":" + std::to_string(line) + ": ";
  const std::string reason = s.message().substr(prefix.size());
  if (line >= 2) return Refused("items[" + std::to_string(line - 2) + "]: " + reason, line - 2);
  return Refused("the receipt: " + reason);
}

std::string MediaTypeOf(std::string_view content_type) {
  std::string_view type = content_type.substr(0, content_type.find(';'));
  while (!type.empty() && IsBlank(type.back())) type.remove_suffix(1);
  while (!type.empty() && IsBlank(type.front())) type.remove_prefix(1);
  std::string lower(type);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

std::optional<FormProblem> ReceiptFormOf(std::string_view content_type,
                                         const ContentTypeWords& words, bool* json) {
  const std::string type = MediaTypeOf(content_type);
  if (type == "application/json" || type == "text/plain") {
    *json = type == "application/json";
    return std::nullopt;
  }
  std::string detail = "a receipt is ";
  detail += words.brought;
  detail += " as text/plain (the contents of fiskal.txt) or application/json, not ";
  detail += type.empty() ? std::string(words.without) : type;
  return FormProblem{415, detail, {}, {}, detail};
}

}  // namespace fiskal::service

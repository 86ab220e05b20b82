#include "service/intake/strict_json.h"

#include <set>
#include <utility>

namespace fiskal::service {

namespace {

using Json = nlohmann::json;

constexpr std::size_t kMaxDepth = 32;

// Builds the value as nlohmann's own reader does, event by event, and
// stops at the first rule broken: nothing after it is read.
class StrictReader {
 public:
  explicit StrictReader(JsonShape* shape) : shape_(shape) {}

  const std::optional<std::string>& problem() const { return problem_; }
  Json& value() { return root_; }

  bool null() { return Scalar(nullptr); }
  bool boolean(bool v) { return Scalar(v); }
  bool number_integer(Json::number_integer_t v) { return Scalar(v); }
  bool number_unsigned(Json::number_unsigned_t v) { return Scalar(v); }
  bool number_float(Json::number_float_t v, const std::string&) { return Scalar(v); }
  bool string(std::string& v) { return Scalar(std::move(v)); }
  bool binary(Json::binary_t&) { return Fail("the body is not well-formed JSON"); }

  bool start_object(std::size_t) {
    if (!Open(JsonKind::kObject, Json::object())) return false;
    names_.emplace_back();
    return true;
  }
  bool key(std::string& name) {
    if (!Deep(open_.size())) return false;
    if (!names_.back().insert(name).second) {
      return Fail("the body has the member \"" + name + "\" twice in one object");
    }
    key_ = std::move(name);
    return true;
  }
  bool end_object() {
    names_.pop_back();
    return Close();
  }
  bool start_array(std::size_t) { return Open(JsonKind::kArray, Json::array()); }
  bool end_array() { return Close(); }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return Fail("the body is not well-formed JSON");
  }

 private:
  // A container open, and the step that led into it.
  struct Open_ {
    Json* value;
    JsonStep step;
  };

  bool Fail(std::string problem) {
    if (!problem_) problem_ = std::move(problem);
    return false;
  }
  // Whether a value at `depth` (the containers around it) may be read.
  bool Deep(std::size_t depth) {
    if (depth <= kMaxDepth) return true;
    return Fail("the body is nested more than " + std::to_string(kMaxDepth) + " levels deep");
  }

  // The value about to begin: checked, then placed where it belongs.
  Json* Place(JsonKind kind, Json value) {
    if (!Deep(open_.size())) return nullptr;
    path_.clear();
    for (std::size_t i = 1; i < open_.size(); ++i) path_.push_back(open_[i].step);
    if (!open_.empty()) path_.push_back(NextStep());
    if (shape_ != nullptr) {
      if (auto refused = shape_->Begin(path_, kind)) {
        Fail(std::move(*refused));
        return nullptr;
      }
    }
    if (open_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    Json& parent = *open_.back().value;
    if (parent.is_array()) {
      parent.push_back(std::move(value));
      return &parent.back();
    }
    Json& member = parent[key_];
    member = std::move(value);
    return &member;
  }
  JsonStep NextStep() const {
    const Json& parent = *open_.back().value;
    if (parent.is_array()) return {false, {}, parent.size()};
    return {true, key_, 0};
  }

  bool Scalar(Json value) { return Place(JsonKind::kScalar, std::move(value)) != nullptr; }
  bool Open(JsonKind kind, Json empty) {
    JsonStep step = open_.empty() ? JsonStep{} : NextStep();
    Json* placed = Place(kind, std::move(empty));
    if (placed == nullptr) return false;
    open_.push_back({placed, std::move(step)});
    return true;
  }
  bool Close() {
    // The closing bracket counts at the depth of what it closes.
    if (!Deep(open_.size() - 1)) return false;
    open_.pop_back();
    return true;
  }

  JsonShape* shape_;
  Json root_;
  std::vector<Open_> open_;                 // outermost first
  std::vector<std::set<std::string>> names_;  // of each object open
  std::string key_;                           // the member whose value comes next
  std::vector<JsonStep> path_;
  std::optional<std::string> problem_;
};

}  // namespace

std::optional<std::string> ParseStrictJson(std::string_view text, nlohmann::json* value,
                                           JsonShape* shape) {
  StrictReader reader(shape);
  const bool read = Json::sax_parse(text, &reader);
  if (reader.problem()) return reader.problem();
  if (!read) return "the body is not well-formed JSON";
  *value = std::move(reader.value());
  return std::nullopt;
}

}  // namespace fiskal::service

#include "pelk_utils/core/py_json.hpp"

#include <stdexcept>
#include <unordered_map>

#include "pelk_utils/core/number.hpp"

namespace pelk {

// Builds a PyJson tree from nlohmann's SAX events. nlohmann hands the raw
// text of every number it could not hold as a 64-bit integer, so integers of
// any size keep their digits.
class PyJsonBuilder : public nlohmann::json_sax<nlohmann::json> {
 public:
  explicit PyJsonBuilder(std::string where) : where_(std::move(where)) {}

  PyJson take() { return std::move(root_); }

  bool null() override { return put(PyJson()); }
  bool boolean(bool value) override {
    PyJson v;
    v.kind_ = PyJson::Kind::kBool;
    v.boolean_ = value;
    return put(std::move(v));
  }
  bool number_integer(number_integer_t value) override { return put(integer(std::to_string(value))); }
  bool number_unsigned(number_unsigned_t value) override { return put(integer(std::to_string(value))); }
  bool number_float(number_float_t value, const string_t& raw) override {
    if (raw.find_first_of(".eE") == std::string::npos) return put(integer(raw));
    PyJson v;
    v.kind_ = PyJson::Kind::kFloat;
    v.number_ = value;
    return put(std::move(v));
  }
  bool string(string_t& value) override { return put(PyJson::string(std::move(value))); }
  bool binary(binary_t&) override { return false; }
  bool start_object(std::size_t) override {
    PyJson v;
    v.kind_ = PyJson::Kind::kObject;
    return open(std::move(v));
  }
  bool key(string_t& value) override {
    key_ = std::move(value);
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(PyJson::array()); }
  bool end_array() override { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) override {
    throw std::invalid_argument(where_ + " is not valid JSON: " + e.what());
  }

 private:
  struct Open {
    PyJson value;
    std::unordered_map<std::string, std::size_t> index;  // member positions, objects only
    std::string key;                                     // this container's key in its parent
  };

  static PyJson integer(std::string digits) {
    PyJson v;
    v.kind_ = PyJson::Kind::kInteger;
    v.text_ = std::move(digits);
    return v;
  }

  bool put(PyJson value) {
    if (stack_.empty()) {
      root_ = std::move(value);
      return true;
    }
    add_to(stack_.back(), key_, std::move(value));
    return true;
  }

  static void add_to(Open& parent, const std::string& key, PyJson value) {
    if (parent.value.kind_ == PyJson::Kind::kArray) {
      parent.value.items_.push_back(std::move(value));
      return;
    }
    auto& members = parent.value.members_;
    const auto [it, fresh] = parent.index.emplace(key, members.size());
    if (fresh) {
      members.emplace_back(key, std::move(value));
    } else {
      members[it->second].second = std::move(value);
    }
  }

  bool open(PyJson value) {
    stack_.push_back(Open{std::move(value), {}, key_});
    return true;
  }

  bool close() {
    Open done = std::move(stack_.back());
    stack_.pop_back();
    key_ = std::move(done.key);
    return put(std::move(done.value));
  }

  std::string where_;
  std::vector<Open> stack_;
  std::string key_;
  PyJson root_;
};

PyJson PyJson::string(std::string text) {
  PyJson v;
  v.kind_ = Kind::kString;
  v.text_ = std::move(text);
  return v;
}

PyJson PyJson::integer(std::int64_t value) {
  PyJson v;
  v.kind_ = Kind::kInteger;
  v.text_ = std::to_string(value);
  return v;
}

PyJson PyJson::array() {
  PyJson v;
  v.kind_ = Kind::kArray;
  return v;
}

PyJson* PyJson::find(const std::string& key) {
  for (auto& [k, v] : members_) {
    if (k == key) return &v;
  }
  return nullptr;
}

const PyJson* PyJson::find(const std::string& key) const { return const_cast<PyJson*>(this)->find(key); }

namespace {

void append_quoted(std::string& out, const std::string& text) {
  // nlohmann escapes exactly as Python's ensure_ascii does: \" \\ \b \f \n
  // \r \t, other control characters and everything from 0x7f as \u00xx
  // (lowercase hex, surrogate pairs above the basic plane).
  out += nlohmann::json(text).dump(-1, ' ', true);
}

void newline(std::string& out, int level) {
  out += '\n';
  out.append(static_cast<std::size_t>(level) * 4, ' ');
}

}  // namespace

void PyJson::dump_to(std::string& out, int level) const {
  switch (kind_) {
    case Kind::kNull:
      out += "null";
      return;
    case Kind::kBool:
      out += boolean_ ? "true" : "false";
      return;
    case Kind::kInteger:
      out += text_;
      return;
    case Kind::kFloat:
      out += format_number(number_);
      return;
    case Kind::kString:
      append_quoted(out, text_);
      return;
    case Kind::kArray:
      if (items_.empty()) {
        out += "[]";
        return;
      }
      out += '[';
      for (std::size_t i = 0; i < items_.size(); ++i) {
        if (i > 0) out += ',';
        newline(out, level + 1);
        items_[i].dump_to(out, level + 1);
      }
      newline(out, level);
      out += ']';
      return;
    case Kind::kObject:
      if (members_.empty()) {
        out += "{}";
        return;
      }
      out += '{';
      for (std::size_t i = 0; i < members_.size(); ++i) {
        if (i > 0) out += ',';
        newline(out, level + 1);
        append_quoted(out, members_[i].first);
        out += ": ";
        members_[i].second.dump_to(out, level + 1);
      }
      newline(out, level);
      out += '}';
      return;
  }
}

std::string PyJson::dump() const {
  std::string out;
  dump_to(out, 0);
  return out;
}

PyJson parse_py_json(const std::string& text, const std::string& where, const JsonLimits& limits) {
  if (json_nesting_depth(text, limits.max_depth) > limits.max_depth) {
    throw std::invalid_argument(where + " nests arrays or objects deeper than " + std::to_string(limits.max_depth) +
                                " levels");
  }
  PyJsonBuilder builder(where);
  if (!nlohmann::json::sax_parse(text, &builder)) throw std::invalid_argument(where + " is not valid JSON");
  return builder.take();
}

}  // namespace pelk

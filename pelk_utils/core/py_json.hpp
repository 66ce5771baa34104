// A JSON document as Python's json module reads and writes it, for files the
// library rewrites: keys keep their order (a repeated key keeps its first
// place and takes the last value), integers of any size keep every digit,
// floats are written in Python's shortest round-trip notation, and the text
// out matches json.dumps(doc, indent=4), so untouched values stay as they were.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "pelk_utils/core/json_file.hpp"

namespace pelk {

class PyJson {
 public:
  enum class Kind { kNull, kBool, kInteger, kFloat, kString, kArray, kObject };

  PyJson() = default;
  // Returns a string value.
  static PyJson string(std::string text);
  // Returns an empty array.
  static PyJson array();
  // Returns an integer value.
  static PyJson integer(std::int64_t value);
  bool is_integer() const { return kind_ == Kind::kInteger; }
  // Returns the digits of an integer value ("-12"), as written in the file.
  const std::string& digits() const { return text_; }

  Kind kind() const { return kind_; }
  bool is_string() const { return kind_ == Kind::kString; }
  bool is_array() const { return kind_ == Kind::kArray; }
  bool is_object() const { return kind_ == Kind::kObject; }
  // Returns the text of a string value.
  const std::string& text() const { return text_; }
  // Returns the elements of an array.
  std::vector<PyJson>& items() { return items_; }
  const std::vector<PyJson>& items() const { return items_; }
  // Returns the member `key` of an object, or nullptr when it has none.
  PyJson* find(const std::string& key);
  const PyJson* find(const std::string& key) const;

  // Writes the value as Python's json.dumps(value, indent=4) does
  // (ensure_ascii, "," and ": " separators, no trailing newline).
  std::string dump() const;

  friend class PyJsonBuilder;

 private:
  void dump_to(std::string& out, int level) const;

  Kind kind_ = Kind::kNull;
  bool boolean_ = false;
  double number_ = 0;  // kFloat
  std::string text_;   // kString contents, or the digits of a kInteger
  std::vector<PyJson> items_;
  std::vector<std::pair<std::string, PyJson>> members_;
};

// Parses `text` into a PyJson document within `limits`. Throws
// std::invalid_argument naming `where` for text that is not JSON, too deep
// nesting, or a float out of the double range.
PyJson parse_py_json(const std::string& text, const std::string& where, const JsonLimits& limits = {});

}  // namespace pelk

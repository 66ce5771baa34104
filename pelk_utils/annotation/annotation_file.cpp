#include "pelk_utils/annotation/annotation_file.hpp"

#include <cctype>
#include <charconv>
#include <cmath>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace pelk {
namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open annotation file '" + path + "'");
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

template <typename Json>
Json parse_file(const std::string& path) {
  const std::string text = slurp(path);
  try {
    return Json::parse(text);
  } catch (const nlohmann::json::parse_error& e) {
    throw std::invalid_argument("annotation file '" + path + "' is not valid JSON: " + e.what());
  }
}

// Parses one whole token as a finite double, as Python's float() would
// accept it (an optional leading sign, decimal or exponent notation).
bool parse_coordinate(std::string_view token, double& value) {
  if (!token.empty() && token.front() == '+') token.remove_prefix(1);
  const auto res = std::from_chars(token.data(), token.data() + token.size(), value);
  return res.ec == std::errc() && res.ptr == token.data() + token.size();
}

}  // namespace

nlohmann::json read_json_file(const std::string& path) { return parse_file<nlohmann::json>(path); }

nlohmann::ordered_json read_ordered_json_file(const std::string& path) {
  return parse_file<nlohmann::ordered_json>(path);
}

PolygonString parse_polygon_string(const std::string& text, const std::string& where) {
  PolygonString out;
  std::size_t pos = 0, index = 0;
  const std::size_t n = text.size();
  while (true) {
    while (pos < n && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
    if (pos >= n) break;
    std::size_t end = pos;
    while (end < n && !std::isspace(static_cast<unsigned char>(text[end]))) ++end;
    const std::string_view token(text.data() + pos, end - pos);
    if (index == 0) {
      out.identifier.assign(token);
    } else {
      double value = 0;
      if (!parse_coordinate(token, value)) {
        throw std::invalid_argument(where + ": polygon token " + std::to_string(index) + " '" + std::string(token) +
                                    "' is not a number");
      }
      if (!std::isfinite(value)) {
        throw std::invalid_argument(where + ": polygon token " + std::to_string(index) + " '" + std::string(token) +
                                    "' is not finite");
      }
      out.coords.push_back(value);
    }
    ++index;
    pos = end;
  }
  if (out.coords.empty()) throw std::invalid_argument(where + ": polygon has no coordinates after its identifier");
  if (out.coords.size() % 2 != 0) {
    throw std::invalid_argument(where + ": polygon has an odd number of coordinates (" +
                                std::to_string(out.coords.size()) + ")");
  }
  return out;
}

const nlohmann::json& require_key(const nlohmann::json& object, const std::string& key, const std::string& where) {
  if (!object.is_object()) throw std::invalid_argument(where + ": expected a JSON object");
  const auto it = object.find(key);
  if (it == object.end()) throw std::out_of_range(where + ": missing key \"" + key + "\"");
  return *it;
}

std::string box_key(long long box_number) { return "Box" + std::to_string(box_number); }

}  // namespace pelk

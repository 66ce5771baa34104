#include "pelk_utils/annotation/annotation_file.hpp"

#include "pelk_utils/core/json_file.hpp"

#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace pelk {
namespace {

// Parses one whole token as a finite double, as Python's float() would
// accept it (an optional leading sign, decimal or exponent notation).
bool parse_coordinate(std::string_view token, double& value) {
  if (!token.empty() && token.front() == '+') token.remove_prefix(1);
  const auto res = std::from_chars(token.data(), token.data() + token.size(), value);
  return res.ec == std::errc() && res.ptr == token.data() + token.size();
}

// White space as the "C" locale's isspace, whatever locale the process set
// (and without a library call per character: polygons are long texts).
constexpr bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

nlohmann::json read_annotation_json(const std::string& path) { return read_json_file(path, kAnnotationFileWhat); }

PolygonString parse_polygon_string(std::string_view text, const std::string& where) {
  PolygonString out;
  std::size_t pos = 0, index = 0;
  const std::size_t n = text.size();
  out.coords.reserve(n / 8);  // a coordinate and its space take at least two characters; most take nine
  while (true) {
    while (pos < n && is_space(text[pos])) ++pos;
    if (pos >= n) break;
    std::size_t end = pos;
    while (end < n && !is_space(text[end])) ++end;
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

std::string box_key(std::int64_t box_number) { return "Box" + std::to_string(box_number); }

std::optional<std::int64_t> box_number_of_key(const std::string& key) {
  if (key.rfind("Box", 0) != 0) return std::nullopt;
  std::int64_t number = 0;
  const char* end = key.data() + key.size();
  const auto res = std::from_chars(key.data() + 3, end, number);
  if (res.ec != std::errc() || res.ptr != end) return std::nullopt;
  return number;
}

std::int64_t object_id_of_key(const std::string& key) {
  const std::optional<std::int64_t> number = box_number_of_key(key);
  if (!number || *number == std::numeric_limits<std::int64_t>::max()) {
    throw std::invalid_argument("box key '" + key + "' does not name an object id");
  }
  return *number + 1;
}

std::int64_t box_number_of(const nlohmann::json& detection, const std::string& where) {
  if (!detection.is_object()) throw std::invalid_argument(where + ": expected a JSON object");
  const auto it = detection.find("object_id");
  if (it == detection.end()) return -1;
  return box_number_of_id(json_int64(*it, where + ": \"object_id\""), where);
}

std::int64_t box_number_of_id(std::int64_t object_id, const std::string& where) {
  if (object_id == std::numeric_limits<std::int64_t>::min()) {
    throw std::invalid_argument(where + ": \"object_id\" " + std::to_string(object_id) +
                                " has no box number (one less is outside the 64-bit range)");
  }
  if (object_id < 1) {
    throw std::invalid_argument(where + ": \"object_id\" " + std::to_string(object_id) +
                                " is not an identity (object ids start at 1)");
  }
  return object_id - 1;
}

void BoxNumbersSeen::add(std::int64_t box_number, std::size_t detection) {
  const auto [it, fresh] = first_detection_.emplace(box_number, detection);
  if (fresh) return;
  const std::string id = box_number < 0 ? "a detection without \"object_id\"" : "\"object_id\" " + std::to_string(box_number + 1);
  throw std::invalid_argument(file_ + ": " + id + " appears twice (detections " + std::to_string(it->second) + " and " +
                              std::to_string(detection) + "); a frame holds one detection per animal");
}

}  // namespace pelk

#include "pelk_utils/core/json_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>
#include <stdexcept>

#include <sys/stat.h>

namespace pelk {

std::string read_regular_file(const std::string& path, const std::string& what, std::size_t max_bytes) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    throw std::runtime_error("cannot open " + what + " '" + path + "': " + std::strerror(errno));
  }
  if (!S_ISREG(st.st_mode)) throw std::runtime_error(what + " '" + path + "' is not a regular file");
  if (static_cast<std::size_t>(st.st_size) > max_bytes) {
    throw std::runtime_error(what + " '" + path + "' is " + std::to_string(st.st_size) + " bytes, more than the " +
                             std::to_string(max_bytes) + " allowed");
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + what + " '" + path + "': " + std::strerror(errno));
  std::string text(static_cast<std::size_t>(st.st_size), '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  // A file that grew after stat() is read only up to the cap.
  if (text.size() == max_bytes && in.peek() != std::char_traits<char>::eof()) {
    throw std::runtime_error(what + " '" + path + "' is larger than the " + std::to_string(max_bytes) +
                             " bytes allowed");
  }
  if (in.bad()) throw std::runtime_error("cannot read " + what + " '" + path + "': " + std::strerror(errno));
  return text;
}

int json_nesting_depth(const std::string& text, int stop_at) {
  int depth = 0, deepest = 0;
  bool in_string = false, escaped = false;
  for (const char c : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
      if (deepest > stop_at) return deepest;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

nlohmann::json parse_json_text(const std::string& text, const std::string& where, const JsonLimits& limits) {
  if (json_nesting_depth(text, limits.max_depth) > limits.max_depth) {
    throw std::invalid_argument(where + " nests arrays or objects deeper than " + std::to_string(limits.max_depth) +
                                " levels");
  }
  try {
    return nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception& e) {
    throw std::invalid_argument(where + " is not valid JSON: " + e.what());
  }
}

nlohmann::json read_json_file(const std::string& path, const std::string& what, const JsonLimits& limits) {
  return parse_json_text(read_regular_file(path, what, limits.max_bytes), what + " '" + path + "'", limits);
}

std::int64_t json_int64(const nlohmann::json& value, const std::string& where) {
  if (!value.is_number_integer()) throw std::invalid_argument(where + " is not an integer");
  if (value.is_number_unsigned() &&
      value.get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    throw std::invalid_argument(where + " " + value.dump() + " is outside the signed 64-bit range");
  }
  return value.get<std::int64_t>();
}

}  // namespace pelk

#include "pelk_utils/core/py_text.hpp"

#include <cstdio>

namespace pelk {

std::string python_repr(const std::string& text) {
  const bool has_single = text.find('\'') != std::string::npos;
  const bool has_double = text.find('"') != std::string::npos;
  const char quote = (has_single && !has_double) ? '"' : '\'';
  std::string out(1, quote);
  for (const char ch : text) {
    const auto byte = static_cast<unsigned char>(ch);
    if (ch == '\\') {
      out += "\\\\";
    } else if (ch == quote) {
      out += '\\';
      out += ch;
    } else if (ch == '\n') {
      out += "\\n";
    } else if (ch == '\r') {
      out += "\\r";
    } else if (ch == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof(buf), "\\x%02x", byte);
      out += buf;
    } else {
      out += ch;
    }
  }
  out += quote;
  return out;
}

std::string python_list_repr(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ", ";
    out += python_repr(items[i]);
  }
  return out + "]";
}

}  // namespace pelk

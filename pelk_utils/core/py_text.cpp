#include "pelk_utils/core/py_text.hpp"

#include <algorithm>
#include <charconv>
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

namespace {

// Lays out already formatted words as numpy does for a 1-D array.
std::string numpy_layout(const std::vector<std::string>& words) {
  constexpr std::size_t kLineWidth = 75 - 1;  // minus the closing bracket
  std::string text, line = " ";
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (line.size() + words[i].size() > kLineWidth && line.size() > 1) {
      while (!line.empty() && line.back() == ' ') line.pop_back();
      text += line + "\n";
      line = " ";
    }
    line += words[i];
    if (i + 1 < words.size()) line += ' ';
  }
  text += line;
  return "[" + text.substr(1) + "]";
}

std::string pad_left(const std::string& s, std::size_t width) {
  return s.size() >= width ? s : std::string(width - s.size(), ' ') + s;
}

// Shortest digits of a float32, at most 8 decimals, trailing zeros dropped.
std::string float32_digits(float value) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof(buf), value, std::chars_format::fixed);
  std::string s(buf, res.ptr);
  const auto point = s.find('.');
  if (point != std::string::npos && s.size() - point - 1 > 8) {
    res = std::to_chars(buf, buf + sizeof(buf), static_cast<double>(value), std::chars_format::fixed, 8);
    s.assign(buf, res.ptr);
    while (s.back() == '0') s.pop_back();
  }
  if (s.find('.') == std::string::npos) s += '.';
  return s;
}

}  // namespace

std::string numpy_array_text(const std::vector<int>& values) {
  std::vector<std::string> words;
  std::size_t width = 0;
  for (int v : values) {
    words.push_back(std::to_string(v));
    width = std::max(width, words.back().size());
  }
  for (auto& w : words) w = pad_left(w, width);
  return numpy_layout(words);
}

std::string numpy_array_text(const std::vector<float>& values) {
  std::vector<std::string> ints, fracs;
  std::size_t int_width = 0, frac_width = 0;
  for (float v : values) {
    const std::string d = float32_digits(v);
    const auto point = d.find('.');
    ints.push_back(d.substr(0, point));
    fracs.push_back(d.substr(point + 1));
    int_width = std::max(int_width, ints.back().size());
    frac_width = std::max(frac_width, fracs.back().size());
  }
  std::vector<std::string> words;
  for (std::size_t i = 0; i < values.size(); ++i) {
    words.push_back(pad_left(ints[i], int_width) + "." + fracs[i] + std::string(frac_width - fracs[i].size(), ' '));
  }
  return numpy_layout(words);
}

namespace {

// Returns the length of the well-formed UTF-8 sequence at text[i], or 0.
std::size_t utf8_length(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b = byte(i);
  if (b < 0x80) return 1;
  std::size_t n;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    if (b == 0xE0) low = 0xA0;   // no overlong forms
    if (b == 0xED) high = 0x9F;  // no surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    if (b == 0xF0) low = 0x90;
    if (b == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (i + n > text.size() || byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < n; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return n;
}

}  // namespace

bool is_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = utf8_length(text, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string escape_non_utf8(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = utf8_length(text, i);
    if (n > 0) {
      out.append(text.substr(i, n));
      i += n;
    } else {
      char buf[8];
      std::snprintf(buf, sizeof(buf), "\\x%02X", static_cast<unsigned char>(text[i]));
      out += buf;
      ++i;
    }
  }
  return out;
}

}  // namespace pelk

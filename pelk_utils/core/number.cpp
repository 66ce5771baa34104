#include "pelk_utils/core/number.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace pelk {

std::string format_number(std::int64_t value) { return std::to_string(value); }

std::string format_number(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof(buf), value, std::chars_format::scientific);
  std::string sci(buf, res.ptr);
  const bool negative = sci.front() == '-';
  if (negative) sci.erase(0, 1);
  const auto e_pos = sci.find('e');
  std::string digits = sci.substr(0, e_pos);
  digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());
  const int exponent = std::atoi(sci.c_str() + e_pos + 1);

  std::string out;
  if (exponent >= -4 && exponent < 16) {
    const int point = exponent + 1;  // digits before the decimal point
    if (point <= 0) {
      out.assign("0.");
      out.append(static_cast<std::size_t>(-point), '0');
      out.append(digits);
    } else if (static_cast<std::size_t>(point) >= digits.size()) {
      out = digits + std::string(static_cast<std::size_t>(point) - digits.size(), '0') + ".0";
    } else {
      out = digits.substr(0, static_cast<std::size_t>(point)) + "." + digits.substr(static_cast<std::size_t>(point));
    }
  } else {
    out = digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    const int magnitude = std::abs(exponent);
    out += exponent < 0 ? "e-" : "e+";
    if (magnitude < 10) out += "0";
    out += std::to_string(magnitude);
  }
  if (negative) out.insert(out.begin(), '-');
  return out;
}

std::string Number::text() const {
  return is_integer() ? format_number(as_integer()) : format_number(std::get<double>(value_));
}

namespace {

[[noreturn]] void overflow(const Number& a, const char* op, const Number& b) {
  throw std::overflow_error("integer overflow: " + a.text() + " " + op + " " + b.text() +
                            " does not fit a signed 64-bit integer");
}

}  // namespace

Number operator+(const Number& a, const Number& b) {
  std::int64_t r = 0;
  if (a.is_integer() && b.is_integer()) {
    if (__builtin_add_overflow(a.as_integer(), b.as_integer(), &r)) overflow(a, "+", b);
    return Number(r);
  }
  return Number(a.as_double() + b.as_double());
}

Number operator-(const Number& a, const Number& b) {
  std::int64_t r = 0;
  if (a.is_integer() && b.is_integer()) {
    if (__builtin_sub_overflow(a.as_integer(), b.as_integer(), &r)) overflow(a, "-", b);
    return Number(r);
  }
  return Number(a.as_double() - b.as_double());
}

Number operator*(const Number& a, const Number& b) {
  std::int64_t r = 0;
  if (a.is_integer() && b.is_integer()) {
    if (__builtin_mul_overflow(a.as_integer(), b.as_integer(), &r)) overflow(a, "*", b);
    return Number(r);
  }
  return Number(a.as_double() * b.as_double());
}

}  // namespace pelk

// Number text and the Number value: numbers in messages are written the way
// the users' Python tools write them (10, 25.0, 0.30000000000000004, 1e-05),
// and a value such as a minute mark remembers whether it is an integer or a
// floating-point number, because its text depends on which it is.
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <variant>

namespace pelk {

// Writes an integer in plain decimal.
std::string format_number(std::int64_t value);
inline std::string format_number(int value) { return format_number(static_cast<std::int64_t>(value)); }
// Writes a double as Python's repr does: the shortest digits that read back
// to the same value, fixed notation with at least one decimal when the
// decimal exponent lies in -4..15, otherwise d.ddde+XX; inf, -inf, nan.
std::string format_number(double value);

// An integer or a floating-point number, added and compared as Python does.
class Number {
 public:
  constexpr Number() : value_(std::int64_t{0}) {}
  constexpr Number(int value) : value_(std::int64_t{value}) {}  // NOLINT: implicit by design
  constexpr Number(std::int64_t value) : value_(value) {}       // NOLINT
  constexpr Number(double value) : value_(value) {}             // NOLINT

  // Returns true when the value is held as an integer.
  constexpr bool is_integer() const { return std::holds_alternative<std::int64_t>(value_); }
  // Returns the value as a double.
  constexpr double as_double() const {
    return is_integer() ? static_cast<double>(std::get<std::int64_t>(value_)) : std::get<double>(value_);
  }
  // Returns the integer value; only meaningful when is_integer().
  constexpr std::int64_t as_integer() const { return std::get<std::int64_t>(value_); }
  // Writes the value through format_number.
  std::string text() const;

  // Integer + integer stays integer; anything else is floating point.
  // Integer results beyond the 64-bit range throw std::overflow_error
  // (Python would grow the integer; wrapping would be silently wrong).
  friend Number operator+(const Number& a, const Number& b);
  friend Number operator-(const Number& a, const Number& b);
  friend Number operator*(const Number& a, const Number& b);
  Number& operator+=(const Number& other) { return *this = *this + other; }

  friend bool operator==(const Number& a, const Number& b) { return a.as_double() == b.as_double(); }
  friend std::partial_ordering operator<=>(const Number& a, const Number& b) { return a.as_double() <=> b.as_double(); }

 private:
  std::variant<std::int64_t, double> value_;
};

}  // namespace pelk

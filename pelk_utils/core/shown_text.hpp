// Values from files quoted in messages: a hostile file can hold a value of
// megabytes (an attribute, an identity), and a one-line error or a note
// must stay one readable line.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pelk {

// Returns `value` when it has at most `at_most` characters, else its first
// `at_most` characters followed by "... (N characters)".
inline std::string shown_text(std::string_view value, std::size_t at_most = 80) {
  if (value.size() <= at_most) return std::string(value);
  return std::string(value.substr(0, at_most)) + "... (" + std::to_string(value.size()) + " characters)";
}

}  // namespace pelk

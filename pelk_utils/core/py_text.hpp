// Python-style text of strings and lists of strings, for the lines that
// print lists of paths exactly as the users' Python tools print them
// (['a', 'b'], backslashes doubled, quotes chosen as repr does).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pelk {

// Writes `text` as Python's repr of a str: single quotes unless the text
// holds a single quote and no double quote; backslash, the chosen quote and
// control characters escaped (\\, \', \n, \r, \t, \xNN). Other bytes pass
// through unchanged.
std::string python_repr(const std::string& text);

// Writes `items` as Python's repr of a list of str: ['a', 'b'].
std::string python_list_repr(const std::vector<std::string>& items);

// Writes integers as numpy prints a 1-D integer array: right-aligned to a
// common width, blank-separated, wrapped at 75 columns ([0 1 2 4]).
std::string numpy_array_text(const std::vector<int>& values);

// Writes 32-bit floats as numpy prints a 1-D float32 array with its default
// options: shortest digits that identify each value, at most 8 decimals,
// fractions padded with blanks to a common width ([0.5  0.25]), whole
// numbers with a trailing point ([1. 0.]). Positional notation only.
std::string numpy_array_text(const std::vector<float>& values);

// Returns whether `text` is well-formed UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF). File names on Linux are bytes and
// need not be.
bool is_utf8(std::string_view text);

// Returns `text` with each byte that is not part of well-formed UTF-8
// written as \xNN, so that an error message can name such a path readably.
std::string escape_non_utf8(std::string_view text);

}  // namespace pelk

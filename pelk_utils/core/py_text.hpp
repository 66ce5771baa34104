// Python-style text of strings and lists of strings, for the lines that
// print lists of paths exactly as the users' Python tools print them
// (['a', 'b'], backslashes doubled, quotes chosen as repr does).
#pragma once

#include <string>
#include <vector>

namespace pelk {

// Writes `text` as Python's repr of a str: single quotes unless the text
// holds a single quote and no double quote; backslash, the chosen quote and
// control characters escaped (\\, \', \n, \r, \t, \xNN). Other bytes pass
// through unchanged.
std::string python_repr(const std::string& text);

// Writes `items` as Python's repr of a list of str: ['a', 'b'].
std::string python_list_repr(const std::vector<std::string>& items);

}  // namespace pelk

// Path joining as the users' Python tools join paths, so that the paths the
// library prints and stores read exactly as they expect.
#pragma once

#include <string>
#include <vector>

namespace pelk {

// Joins two path parts as Python's os.path.join does for two parts: `b`
// when it is absolute, else `a` and `b` with one "/" between them.
std::string join_path(const std::string& a, const std::string& b);

// Returns frame_names[index], a negative index counting from the end as in
// Python. Throws std::out_of_range naming `what` and the list's length.
const std::string& frame_name_at(const std::vector<std::string>& frame_names, int index, const std::string& what);

}  // namespace pelk

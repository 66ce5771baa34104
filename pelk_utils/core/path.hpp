// Path joining as the users' Python tools join paths, so that the paths the
// library prints and stores read exactly as they expect.
#pragma once

#include <string>

namespace pelk {

// Joins two path parts as Python's os.path.join does for two parts: `b`
// when it is absolute, else `a` and `b` with one "/" between them.
std::string join_path(const std::string& a, const std::string& b);

}  // namespace pelk

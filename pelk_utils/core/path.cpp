#include "pelk_utils/core/path.hpp"

namespace pelk {

std::string join_path(const std::string& a, const std::string& b) {
  if (!b.empty() && b.front() == '/') return b;
  if (a.empty() || a.back() == '/') return a + b;
  return a + "/" + b;
}

}  // namespace pelk

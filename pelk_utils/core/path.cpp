#include "pelk_utils/core/path.hpp"

#include <stdexcept>

namespace pelk {

std::string join_path(const std::string& a, const std::string& b) {
  if (!b.empty() && b.front() == '/') return b;
  if (a.empty() || a.back() == '/') return a + b;
  return a + "/" + b;
}

const std::string& frame_name_at(const std::vector<std::string>& frame_names, int index, const std::string& what) {
  const auto n = static_cast<long>(frame_names.size());
  const long i = index < 0 ? index + n : index;
  if (i < 0 || i >= n) {
    throw std::out_of_range(what + " " + std::to_string(index) + " outside a list of " + std::to_string(n) +
                            " frame names");
  }
  return frame_names[static_cast<std::size_t>(i)];
}

}  // namespace pelk

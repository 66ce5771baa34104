#include "pelk_utils/core/intersections_table.hpp"

#include <stdexcept>

namespace pelk {

IntersectionsTable::IntersectionsTable(std::vector<std::string> keys, cv::Mat1d values)
    : keys_(std::move(keys)), values_(std::move(values)) {
  const int n = static_cast<int>(keys_.size());
  if (n == 0 && values_.empty()) return;
  if (!values_.isContinuous()) values_ = values_.clone();  // cells() reads one block
  if (values_.rows != n || values_.cols != n) {
    throw std::invalid_argument("intersections table needs a " + std::to_string(n) + " x " + std::to_string(n) +
                                " value table, got " + std::to_string(values_.rows) + " x " +
                                std::to_string(values_.cols));
  }
  for (std::size_t i = 0; i < keys_.size(); ++i) {
    if (!index_.emplace(keys_[i], i).second) {
      throw std::invalid_argument("intersections table key repeated: " + keys_[i]);
    }
  }
}

double IntersectionsTable::at(std::size_t row, std::size_t col) const {
  if (row >= size() || col >= size()) {
    throw std::out_of_range("intersections table position (" + std::to_string(row) + ", " + std::to_string(col) +
                            ") outside a table of size " + std::to_string(size()));
  }
  return values_(static_cast<int>(row), static_cast<int>(col));
}

double IntersectionsTable::at(const std::string& row_key, const std::string& col_key) const {
  const auto r = position(row_key);
  if (!r) throw std::out_of_range("intersections table has no row '" + row_key + "'");
  const auto c = position(col_key);
  if (!c) throw std::out_of_range("intersections table has no column '" + col_key + "'");
  return at(*r, *c);
}

std::optional<std::size_t> IntersectionsTable::position(const std::string& key) const {
  auto it = index_.find(key);
  if (it == index_.end()) return std::nullopt;
  return it->second;
}

bool operator==(const IntersectionsTable& a, const IntersectionsTable& b) {
  if (a.keys_ != b.keys_) return false;
  if (a.empty()) return true;
  return cv::countNonZero(a.values_ != b.values_) == 0;
}

}  // namespace pelk

// IntersectionsTable: for every ordered pair of one frame's masks, the
// percentage of the row mask covered by the column mask. Rows and columns
// carry the box keys in the mask dictionary's order; the diagonal is 0.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include <opencv2/core.hpp>

namespace pelk {

class IntersectionsTable {
 public:
  IntersectionsTable() = default;
  // Takes the keys (rows and columns alike) and a square table of
  // percentages; throws std::invalid_argument when the sizes disagree.
  IntersectionsTable(std::vector<std::string> keys, cv::Mat1d values);

  // Returns the box keys in row (and column) order.
  const std::vector<std::string>& keys() const { return keys_; }
  // Returns the number of rows (and columns).
  std::size_t size() const { return keys_.size(); }
  bool empty() const { return keys_.empty(); }
  // Returns the cell at row position `row`, column position `col`.
  double at(std::size_t row, std::size_t col) const;
  // Returns the cell (row key, column key); throws std::out_of_range naming
  // the missing key.
  double at(const std::string& row_key, const std::string& col_key) const;
  // Returns the position of `key`, or std::nullopt.
  std::optional<std::size_t> position(const std::string& key) const;
  // Returns the square table of percentages (shared buffer, do not write).
  const cv::Mat1d& values() const { return values_; }
  // Returns every cell, row by row; empty for an empty table. Use this to
  // scan the cells: iterating an empty cv::Mat divides by zero in OpenCV.
  std::span<const double> cells() const {
    return values_.empty() ? std::span<const double>() : std::span<const double>(values_[0], values_.total());
  }

  friend bool operator==(const IntersectionsTable& a, const IntersectionsTable& b);

 private:
  std::vector<std::string> keys_;
  std::unordered_map<std::string, std::size_t> index_;
  cv::Mat1d values_;
};

}  // namespace pelk

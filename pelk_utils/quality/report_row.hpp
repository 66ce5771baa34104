// A row of the tracking report: one doubtful finding (a pair of masks lying
// on top of each other, or a vanished mask) with the report's eight columns.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace pelk {

// One cell of a report row, for grouping by a named column.
using ReportCell = std::variant<std::int64_t, double, std::string>;

// One doubtful finding; missing columns are std::nullopt.
struct ReportRow {
  int frame_id = 0;                               // "Frame ID": frame key in the clip
  std::optional<std::string> box_pair;            // "Box Pair": row key + "-" + column key
  std::optional<double> intersection_value;       // "Intersection Value", 2 decimals
  std::optional<std::int64_t> mask_area1;         // "Mask Area1"
  std::optional<std::int64_t> mask_area2;         // "Mask Area2"
  std::string report_type;                        // "Report type"
  std::optional<std::string> box_id;              // "Box ID"
  std::optional<std::int64_t> mask_areas;         // "Mask Areas"

  // Returns the cell of column `name` (one of kReportColumns), std::nullopt
  // when missing; throws std::out_of_range for an unknown column name.
  std::optional<ReportCell> column(const std::string& name) const;
  friend bool operator==(const ReportRow&, const ReportRow&) = default;
};

// The report's columns, in file order.
inline const std::vector<std::string> kReportColumns = {
    "Frame ID", "Box Pair", "Intersection Value", "Mask Area1", "Mask Area2", "Report type", "Box ID", "Mask Areas"};

}  // namespace pelk

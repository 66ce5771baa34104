#include "pelk_utils/quality/report_row.hpp"

#include <stdexcept>

namespace pelk {
namespace {

template <typename T>
std::optional<ReportCell> cell(const std::optional<T>& v) {
  if (!v) return std::nullopt;
  return ReportCell(*v);
}

}  // namespace

std::optional<ReportCell> ReportRow::column(const std::string& name) const {
  if (name == "Frame ID") return ReportCell(std::int64_t{frame_id});
  if (name == "Box Pair") return cell(box_pair);
  if (name == "Intersection Value") return cell(intersection_value);
  if (name == "Mask Area1") return cell(mask_area1);
  if (name == "Mask Area2") return cell(mask_area2);
  if (name == "Report type") return ReportCell(report_type);
  if (name == "Box ID") return cell(box_id);
  if (name == "Mask Areas") return cell(mask_areas);
  throw std::out_of_range("report has no column '" + name + "'");
}

}  // namespace pelk

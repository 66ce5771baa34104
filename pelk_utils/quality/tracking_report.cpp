#include "pelk_utils/quality/tracking_report.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "pelk_utils/core/csv.hpp"
#include "pelk_utils/core/number.hpp"
#include "pelk_utils/core/path.hpp"
#include "pelk_utils/core/output.hpp"
#include "pelk_utils/core/stop.hpp"

namespace pelk {
namespace {

const IntersectionsTable& table_of(int frame_key, const FrameRecord& record) {
  if (!record.intersections_df) {
    throw std::out_of_range("frame " + std::to_string(frame_key) + " (" + record.json_path +
                            ") has no intersections table; load the whole clip");
  }
  return *record.intersections_df;
}

bool has_cell_above(const IntersectionsTable& table, double threshold) {
  for (std::size_t r = 0; r < table.size(); ++r) {
    for (std::size_t c = 0; c < table.size(); ++c) {
      if (table.at(r, c) > threshold) return true;
    }
  }
  return false;
}

std::vector<ReportRow> overlap_rows(int frame_key, const FrameRecord& record, double threshold) {
  const IntersectionsTable& table = *record.intersections_df;
  std::vector<ReportRow> rows;
  for (std::size_t r = 0; r < table.size(); ++r) {
    for (std::size_t c = 0; c < table.size(); ++c) {
      const double value = table.at(r, c);
      if (!(value > threshold)) continue;
      const std::string& row_key = table.keys()[r];
      const std::string& col_key = table.keys()[c];
      ReportRow row;
      row.frame_id = frame_key;
      row.box_pair = row_key + "-" + col_key;
      row.intersection_value = round2(value);
      row.mask_area1 = record.mask_areas.at(row_key);
      row.mask_area2 = record.mask_areas.at(col_key);
      row.report_type = kHighOverlap;
      rows.push_back(std::move(row));
    }
  }
  return rows;
}

template <typename T>
std::optional<std::string> text_of(const std::optional<T>& v) {
  if (!v) return std::nullopt;
  return format_number(*v);
}

CsvRow csv_row(const ReportRow& r) {
  return {format_number(r.frame_id), r.box_pair,   text_of(r.intersection_value), text_of(r.mask_area1),
          text_of(r.mask_area2),     r.report_type, r.box_id,                      text_of(r.mask_areas)};
}

}  // namespace

double round2(double value) {
  if (!std::isfinite(value)) return value;
  char buf[512];
  std::snprintf(buf, sizeof(buf), "%.2f", value);  // glibc rounds the exact value, ties to even
  return std::strtod(buf, nullptr);
}

TrackingReport generate_tracking_report(const ClipAnnotationData& pelk_annotation_data,
                                        const std::string& save_dir_base, double intersection_thrr) {
  TrackingReport report;
  for (const auto& [frame_key, record] : pelk_annotation_data) {
    throw_if_stop_requested();
    for (const auto& [key, area] : record.mask_areas) {
      if (area > 0.1) continue;
      ReportRow row;
      row.frame_id = frame_key;
      row.report_type = kZeroArea;
      row.box_id = key;
      row.mask_areas = area;
      report.zero_area_frames.push_back(std::move(row));
    }
    if (has_cell_above(table_of(frame_key, record), intersection_thrr)) report.overlap_frames.push_back(frame_key);
  }
  if (report.overlap_frames.empty() && report.zero_area_frames.empty()) return report;

  output() << "Generating tracking question report...\n\n";
  for (int frame_key : report.overlap_frames) {
    throw_if_stop_requested();
    report.box_keys_df = overlap_rows(frame_key, pelk_annotation_data.at(frame_key), intersection_thrr);
    report.overlap_frames_data.insert(report.overlap_frames_data.end(), report.box_keys_df.begin(),
                                      report.box_keys_df.end());
  }
  std::vector<CsvRow> rows;
  for (const ReportRow& r : report.overlap_frames_data) rows.push_back(csv_row(r));
  for (const ReportRow& r : report.zero_area_frames) rows.push_back(csv_row(r));
  const std::string path = join_path(save_dir_base, kReportFileName);
  write_csv(path, kReportColumns, rows);
  output() << "Tracking question report saved to " << path << "\n";
  return report;
}

}  // namespace pelk

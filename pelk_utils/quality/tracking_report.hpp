// Tracking report: finds the frames of a tracked clip whose tracking is
// doubtful (vanished masks, masks lying on top of each other) and writes
// them as "tracking_question_report.csv".
#pragma once

#include <string>
#include <vector>

#include "pelk_utils/annotation/clip_loader.hpp"
#include "pelk_utils/quality/report_row.hpp"

namespace pelk {

inline constexpr const char* kHighOverlap = "High overlap mask detected";
inline constexpr const char* kZeroArea = "Zero area detected";
inline constexpr const char* kReportFileName = "tracking_question_report.csv";

struct TrackingReport {
  std::vector<ReportRow> overlap_frames_data;  // all high-overlap rows
  std::vector<ReportRow> zero_area_frames;     // zero-area rows, in discovery order
  std::vector<int> overlap_frames;             // frame keys with a high-overlap cell
  std::vector<ReportRow> box_keys_df;          // high-overlap rows of the last such frame
};

// Returns `value` rounded to two decimals, ties to even on the exact binary
// value, as Python's round(value, 2) does (2.675 -> 2.67, 0.125 -> 0.12).
double round2(double value);

// Scans every frame of a whole-clip load for empty masks (area <= 0.1) and
// for intersections-table cells strictly above `intersection_thrr`, and
// writes them (overlap rows first, then zero-area rows) to
// save_dir_base/tracking_question_report.csv, replacing it atomically.
// Prints "Generating tracking question report..." and an empty line, then
// "Tracking question report saved to <path>". With nothing to report it
// prints and writes nothing. Throws std::out_of_range naming the frame when
// a record has no intersections table (a single-file load), before
// anything is printed, and std::runtime_error when the file cannot be written.
TrackingReport generate_tracking_report(const ClipAnnotationData& pelk_annotation_data,
                                        const std::string& save_dir_base, double intersection_thrr = 80);

}  // namespace pelk

// Continuous frame runs: a doubtful condition that lasts several
// consecutive frames is worth acting on; these are the runs per group
// (per box, or per pair of boxes) of a set of report rows.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "pelk_utils/quality/report_row.hpp"

namespace pelk {

// Group value -> runs of consecutive frame ids (each at least
// `n_consecutive` long), groups in ascending order.
using FrameRuns = std::map<ReportCell, std::vector<std::vector<int>>>;

// Groups `frames_df` by column `group_by` (rows missing it belong to no
// group), sorts each group's "Frame ID"s and splits them into runs of
// consecutive numbers (a repeated number starts a new run); keeps the runs
// of at least `n_consecutive` frames (all runs when it is 1 or less).
FrameRuns find_continuous_frames(const std::vector<ReportRow>& frames_df, const std::string& group_by = "Box ID",
                                 std::int64_t n_consecutive = 3);

}  // namespace pelk

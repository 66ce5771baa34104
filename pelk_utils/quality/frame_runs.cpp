#include "pelk_utils/quality/frame_runs.hpp"

#include <algorithm>

namespace pelk {

FrameRuns find_continuous_frames(const std::vector<ReportRow>& frames_df, const std::string& group_by,
                                 std::int64_t n_consecutive) {
  std::map<ReportCell, std::vector<int>> groups;
  for (const ReportRow& row : frames_df) {
    if (const auto value = row.column(group_by)) groups[*value].push_back(row.frame_id);
  }
  FrameRuns runs;
  for (auto& [value, frames] : groups) {
    std::sort(frames.begin(), frames.end());
    std::size_t start = 0;
    for (std::size_t i = 1; i <= frames.size(); ++i) {
      // A run goes on while each frame is exactly one more than the last.
      if (i < frames.size() && static_cast<long long>(frames[i]) == static_cast<long long>(frames[i - 1]) + 1) continue;
      if (static_cast<std::int64_t>(i - start) >= n_consecutive) {
        runs[value].emplace_back(frames.begin() + static_cast<std::ptrdiff_t>(start),
                                 frames.begin() + static_cast<std::ptrdiff_t>(i));
      }
      start = i;
    }
  }
  return runs;
}

}  // namespace pelk

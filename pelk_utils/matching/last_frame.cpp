#include "pelk_utils/matching/last_frame.hpp"

#include <algorithm>

#include "pelk_utils/core/overlap.hpp"
#include "pelk_utils/core/output.hpp"

namespace pelk {
namespace {

bool truthy(const std::optional<std::string>& key) { return key && !key->empty(); }

void remove_keys(ClipAnnotationData& clip, const std::vector<std::optional<std::string>>& keys) {
  if (std::none_of(keys.begin(), keys.end(), truthy)) return;
  for (auto& [frame_key, record] : clip) {
    for (const auto& key : keys) {
      if (truthy(key)) record.masks_dict.erase(*key);
    }
  }
}

// Returns true when the frame passes the three tests, in order.
bool qualifies(const FrameRecord& record, int min_area, int n_track) {
  const AreaMap areas = mask_areas(record.masks_dict);
  const IntersectionsTable table = intersection_between_masks(record.masks_dict, areas);
  int n_valid = 0;
  for (const auto& [key, area] : areas) {
    if (!(area > min_area)) return false;
    n_valid += area > 0;
  }
  if (n_valid < n_track) return false;
  const std::span<const double> cells = table.cells();
  return std::all_of(cells.begin(), cells.end(), [](double v) { return v < 50; });
}

}  // namespace

BestLastFrame find_best_laste_frame(ClipAnnotationData& laste_frame, int min_area, int max_attempts,
                                    const std::vector<std::optional<std::string>>& remove_stack_obs) {
  const int n_track = kAnimalsPerPen - static_cast<int>(std::count_if(
                                           remove_stack_obs.begin(), remove_stack_obs.end(),
                                           [](const auto& key) { return key.has_value(); }));
  remove_keys(laste_frame, remove_stack_obs);
  int attempts = 0;
  // The walk stops at the first frame even when attempts remain.
  for (auto it = laste_frame.rbegin(); attempts < max_attempts && it != laste_frame.rend(); ++it, ++attempts) {
    if (!qualifies(it->second, min_area, n_track)) continue;
    if (it->first != 599) {
      output() << "Switched to frame key " << it->first << " due to small mask area in later frames.\n";
    }
    return {&it->second, false};
  }
  output() << "No valid frame found with all masks area > " << min_area << " in the last " << max_attempts
            << " frames for " << n_track << " tracks.\n";
  return {nullptr, true};
}

}  // namespace pelk

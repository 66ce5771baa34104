#include "pelk_utils/quality/small_area_boxes.hpp"

#include "pelk_utils/core/ordered_map.hpp"

namespace pelk {

std::vector<std::string> find_boxes_with_small_area_from_last_video(const ClipAnnotationData& laste_frame,
                                                                    double min_frame_id, double area_threshold,
                                                                    double min_count) {
  std::vector<std::pair<int, const FrameRecord*>> frames;
  for (const auto& [frame_key, record] : laste_frame) frames.emplace_back(frame_key, &record);
  return find_boxes_with_small_area(frames, min_frame_id, area_threshold, min_count);
}

std::vector<std::string> find_boxes_with_small_area(const std::vector<std::pair<int, const FrameRecord*>>& frames,
                                                    double min_frame_id, double area_threshold, double min_count) {
  OrderedMap<std::string, long long> counts;  // first-seen order
  for (const auto& [frame_key, record] : frames) {
    if (!(frame_key > min_frame_id)) continue;
    for (const auto& [key, area] : record->mask_areas) {
      if (!(static_cast<double>(area) <= area_threshold)) continue;
      counts.insert_or_assign(key, counts.contains(key) ? counts.at(key) + 1 : 1);
    }
  }
  std::vector<std::string> out;
  for (const auto& [key, count] : counts) {
    if (static_cast<double>(count) > min_count) out.push_back(key);
  }
  return out;
}

}  // namespace pelk

#include "pelk_utils/quality/track_set.hpp"

#include <algorithm>
#include <stdexcept>

namespace pelk {

bool TrackSet::all_masks() const {
  return std::all_of(frames.begin(), frames.end(), [](const auto& f) {
    return std::all_of(f.second.begin(), f.second.end(), [](const TrackObject& o) { return o.mask.has_value(); });
  });
}

ContinuousBox continuous_box(const Mask& mask) {
  if (mask.empty()) return {0, 0, 0, 0};
  const cv::Rect r = mask.bounds();
  return {static_cast<double>(r.x), static_cast<double>(r.y), static_cast<double>(r.x + r.width),
          static_cast<double>(r.y + r.height)};
}

TrackSet track_set_of(const ClipAnnotationData& clip, const std::string& source) {
  TrackSet out;
  out.source = source;
  out.kind = "annotation folder";
  std::map<std::int64_t, const std::string*> files;
  for (const auto& [key, record] : clip) {
    const auto [first, added] = files.emplace(record.frame_index, &record.json_path);
    if (!added) {
      throw std::invalid_argument("frame " + std::to_string(record.frame_index) + " has two annotation files: '" +
                                  *first->second + "' and '" + record.json_path + "'");
    }
    std::vector<TrackObject>& objects = out.frames[record.frame_index];
    for (const auto& [box, mask] : record.masks_dict) {
      if (mask.empty()) continue;
      objects.push_back({box, mask, continuous_box(mask)});
    }
  }
  return out;
}

}  // namespace pelk

#include "pelk_utils/interchange/imported_tracks.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "pelk_utils/core/polygon_fill.hpp"

namespace pelk {

bool ImportedTracks::has_polygons() const {
  return std::any_of(frames.begin(), frames.end(), [](const auto& f) {
    return std::any_of(f.second.begin(), f.second.end(), [](const ImportedObject& o) { return !o.polygons.empty(); });
  });
}

TrackSet track_set_of(const ImportedTracks& tracks, std::optional<cv::Size> frame_size) {
  const std::optional<cv::Size> size = frame_size ? frame_size : tracks.frame_size;
  if (tracks.has_polygons() && !size) {
    throw std::invalid_argument("'" + tracks.source + "' holds polygons but no frame size (original_size); "
                                "they cannot be turned into masks");
  }
  TrackSet out;
  out.source = tracks.source;
  out.kind = tracks.kind;
  out.ignored = tracks.ignored;
  out.notes = tracks.notes;
  out.distractor_rows = tracks.distractor_rows;
  for (const auto& [frame, objects] : tracks.frames) {
    std::vector<TrackObject>& into = out.frames[frame];
    for (const ImportedObject& o : objects) {
      if (o.polygons.empty()) {
        into.push_back({o.key, std::nullopt, o.box});
        continue;
      }
      std::vector<std::vector<cv::Point>> pixels;
      for (const std::vector<double>& polygon : o.polygons) {
        std::vector<cv::Point>& points = pixels.emplace_back();
        for (std::size_t i = 0; i + 1 < polygon.size(); i += 2) {
          points.emplace_back(static_cast<int>(std::trunc(polygon[i])), static_cast<int>(std::trunc(polygon[i + 1])));
        }
      }
      Mask mask = fill_polygons_mask(pixels, *size);
      if (mask.empty()) continue;  // a polygon outside the frame or of no area: absent, as in a folder
      const ContinuousBox box = continuous_box(mask);
      into.push_back({o.key, std::move(mask), box});
    }
  }
  return out;
}

}  // namespace pelk

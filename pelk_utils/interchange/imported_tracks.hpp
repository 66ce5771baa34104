// Tracks read from another tool's file (MOTChallenge text, CVAT XML), before
// they become masks: per frame number, each object's identity and its
// polygons or box in pixels. From here they are measured (as a TrackSet) or
// written as an annotation folder that loads, reviews and proofreads like a
// tracked clip.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "pelk_utils/quality/track_set.hpp"

namespace pelk {

struct ImportedObject {
  std::string key;                            // the file's identity (MOT id, CVAT track)
  std::vector<std::vector<double>> polygons;  // x0, y0, x1, y1, ... in pixels; empty for a box
  ContinuousBox box{};                        // the box, or the polygons' extent
};

struct ImportedTracks {
  std::string source;                   // the file
  std::string kind;                     // "MOTChallenge text" or "CVAT XML"
  std::optional<cv::Size> frame_size;   // when the file says (CVAT's original_size)
  std::map<std::int64_t, std::vector<ImportedObject>> frames;  // frame number -> objects
  std::int64_t ignored = 0;             // rows not counted (MOT truth rows with conf 0)
  std::vector<std::string> notes;       // what was skipped or assumed
  // MOT truth with a distractor in its class column: every row's box per
  // frame and whether it is a distractor (see TrackSet::distractor_rows).
  std::map<std::int64_t, std::vector<std::pair<ContinuousBox, bool>>> distractor_rows;
  // Returns true when some object has polygons.
  bool has_polygons() const;
};

// The largest frame side and frame number a file may declare: larger ones
// would ask for gigabytes of raster or of frame table.
inline constexpr int kMaxImportedFrameSide = 32768;
inline constexpr std::int64_t kMaxImportedFrame = 100'000'000;

// Returns the tracks for measuring: objects with polygons become masks on a
// frame of `frame_size` (or the file's own size), vertices truncated to
// whole pixels as annotation files are; boxes stay boxes. Throws
// std::invalid_argument when polygons need a frame size and none is known.
TrackSet track_set_of(const ImportedTracks& tracks, std::optional<cv::Size> frame_size = std::nullopt);

}  // namespace pelk

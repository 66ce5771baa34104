// Every animal's path as a table: one row per animal per frame of a
// recording's clips, with the mask's box, centroid, area, orientation and
// axes (and its share inside the pen), streamed clip by clip so a day of
// clips takes the memory of one.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "pelk_utils/core/box.hpp"
#include "pelk_utils/core/mask.hpp"
#include "pelk_utils/tracks/clip_stream.hpp"

namespace pelk {

// The shape of one mask, in full-frame pixels (x to the right, y down).
struct MaskShape {
  Box box{};                  // x_min, y_min, x_max, y_max: inclusive pixel indices
  double centroid_x = 0, centroid_y = 0;  // mean pixel position (pixel centres at integers)
  std::int64_t area = 0;      // pixel count
  // The ellipse with the mask's second moments: its long axis's angle in
  // degrees in [0, 180), measured from the +x axis towards +y (clockwise on
  // the screen), and the lengths of its long and short axes (4 sqrt of the
  // eigenvalues of the pixel covariance, as skimage's regionprops).
  double orientation = 0, long_axis = 0, short_axis = 0;
};

// Returns the shape of a mask with at least one pixel (cv::moments of its
// pixels); std::nullopt for an empty mask.
std::optional<MaskShape> shape_of(const Mask& mask);

struct TrackRow {
  const std::string* clip = nullptr;
  std::int64_t frame_key = 0;  // the annotation file's own number (output_pp_<n>.json)
  const std::string* frame_image = nullptr;
  std::optional<FrameTime> time;  // camera clock, when known
  std::string identity;           // box key
  std::optional<MaskShape> shape; // std::nullopt: not present in this frame
  std::optional<double> in_pen;   // share of the mask inside the pen (0..1), with a pen
};

struct TracksOptions {
  FrameTimeSource times;
  std::optional<std::string> pen_json_path;  // adds the in-pen share
};

// The table's columns (and the CSV header), with "in_pen" only with a pen.
std::vector<std::string> tracks_columns(bool with_pen);

// Calls `row` for each animal of each frame of `clips` (annotation folders in
// order; a clip's animals are the keys it holds, each frame gets a row per
// animal, present or not). Returns stream_clips's notes. Errors as
// stream_clips and the pen file's reader.
std::vector<std::string> for_each_track_row(const std::vector<std::string>& clips, const TracksOptions& options,
                                            const std::function<void(const TrackRow&)>& row);

// Writes the table of `clips` as CSV to `path` (streamed, replaced whole at
// the end); without `header` the column line is left out (a later shard of
// a split run). Numbers in shortest round-trip form, missing values empty,
// "time" as YYYY-MM-DDThh:mm:ss.mmm. Returns the notes. Throws as
// for_each_track_row and std::invalid_argument when `path` lies inside a clip.
std::vector<std::string> write_tracks_csv(const std::vector<std::string>& clips, const TracksOptions& options,
                                          const std::string& path, bool header = true);

}  // namespace pelk

// One frame of a recording as the exchange-format writers take it: every
// animal's polygons in pixels (as its annotation file holds them), its box
// and area, and the keys of the clip's animals that have no mask here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pelk_utils/core/box.hpp"
#include "pelk_utils/core/mask.hpp"
#include "pelk_utils/tracks/frame_time.hpp"

namespace pelk {

struct ExportObject {
  std::string key;                            // box key
  std::int64_t id = 0;                        // object id: box number + 1
  std::vector<std::vector<double>> polygons;  // x0, y0, x1, y1, ... in pixels
  Box box{};                                  // the mask's pixels, inclusive
  std::int64_t area = 0;                      // mask pixels
  const Mask* mask = nullptr;                 // the mask itself, while the frame is written
};

struct ExportFrame {
  // 0-based over all clips in order: the first clip's frames by their files'
  // own numbers, each later clip from the frame after the previous clip's
  // last, by its files' numbers (frames the files skip stay skipped).
  std::size_t index = 0;
  std::string clip, image_path;
  std::int64_t frame_key = 0;  // the annotation file's own number (output_pp_<n>.json)
  int width = 0, height = 0;
  std::optional<FrameTime> time;  // camera clock, when known
  std::vector<ExportObject> objects;
  std::vector<std::string> absent;  // keys of the clip's animals without a mask here
};

// A writer of one format: takes frames in order, then finishes the file.
class TrackWriter {
 public:
  virtual ~TrackWriter() = default;
  virtual void frame(const ExportFrame& f) = 0;
  // Completes the file and puts it in place; returns the mapping file's path
  // when the format writes one.
  virtual std::string finish() = 0;
};

// Returns the area of a polygon (x0, y0, x1, y1, ... in pixels) by the
// shoelace formula, whatever its orientation.
double polygon_area(const std::vector<double>& polygon);

// Returns "id" of a box key ("Box3" -> 4); throws std::invalid_argument
// naming `where` for a key without an object id.
std::int64_t export_id_of(const std::string& key, const std::string& where);

}  // namespace pelk

// Writing annotation files, as a tracking run does: one JSON document per
// frame with the frame's image path and, per object, its identity, box and
// outline polygons normalised by the image size. Used by the stand-in
// tracker of the command line and by the cleaning pass to write masks back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pelk_utils/core/mask.hpp"

namespace pelk {

struct AnnotatedObject {
  std::int64_t object_id = 1;  // tracker identity, from 1 (box key "Box<object_id - 1>")
  Mask mask;
  // Polygon strings written instead of the mask's outline (when not empty),
  // for outlines that come from elsewhere as they are.
  std::vector<std::string> polygons;
};

// Returns the outline polygons of `mask` as annotation polygon strings
// ("<identifier> x1 y1 x2 y2 ...", x by the frame width, y by its height,
// six decimals): one per external contour (simple chain approximation), so
// that reading them back fills the same pixels for masks without holes.
// An empty mask gives no polygon.
std::vector<std::string> mask_polygons(const Mask& mask, const std::string& identifier = "0");

// Returns the annotation document text ({"image_path", "detections":
// [{"object_id", "xyxy": [[x1, y1, x2, y2]] (inclusive pixels, omitted as []
// for an empty mask), "formatted_polygon"}]}), indented by four spaces.
// Throws std::invalid_argument naming `image_path` when it is not UTF-8.
std::string annotation_document(const std::string& image_path, const std::vector<AnnotatedObject>& objects);

// Writes annotation_document(...) to `path`, replacing it atomically.
void write_annotation_file(const std::string& path, const std::string& image_path,
                           const std::vector<AnnotatedObject>& objects);

}  // namespace pelk

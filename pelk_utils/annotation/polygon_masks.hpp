// Polygon masks: one annotation file turned into one binary mask per
// detection by filling its normalised polygons at a given raster size.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pelk_utils/core/mask.hpp"

namespace pelk {

struct PolygonMasks {
  std::string image_path;     // the file's "image_path", unchanged
  std::vector<Mask> masks;    // one per detection, in file order, `width` x `height`
  std::vector<std::int64_t> boxkeys;  // "object_id" - 1 per detection (-1 when absent)
};

// Reads the annotation file at `json_path` and fills each detection's
// polygons into a `height` x `width` mask: vertex = (trunc(x * width),
// trunc(y * height)), cv::fillPoly, 8-connected, polygons of one detection
// united. Only each mask's own rectangle is rasterised; the pixels equal a
// full-frame fill. A detection without polygons gives an empty mask.
// Throws (naming the file and detection) std::runtime_error when the file
// cannot be opened, std::invalid_argument for text that is not JSON, a bad
// polygon string, a coordinate whose pixel value does not fit a 32-bit
// integer, or an "object_id" that is not an integer or lies outside the
// signed 64-bit range (it is never wrapped) or is below 1, std::out_of_range
// for a missing "image_path", "detections" or "formatted_polygon", and
// MaskTooLarge (naming the size, the frame and the bound kMaxMaskPixels)
// before allocating a mask whose rectangle would hold more pixels than that.
PolygonMasks process_json_and_generate_masks(const std::string& json_path, int height, int width);

}  // namespace pelk

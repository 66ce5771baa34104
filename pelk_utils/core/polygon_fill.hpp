// Polygon filling into part of a frame, with exactly the pixels that
// cv::fillPoly would set on the whole frame. OpenCV clips polygon edges at
// the raster border and rounds the clipped ends, so filling a smaller raster
// can move edge pixels; the fill here grows its raster until every edge that
// could matter is clipped where the frame would clip it, and no further.
#pragma once

#include <cstdint>
#include <stdexcept>

#include <vector>

#include <opencv2/core.hpp>

#include "pelk_utils/core/mask.hpp"

namespace pelk {

struct PolygonRaster {
  cv::Rect rect;   // where `bits` lies on the frame (pixels, exclusive bottom-right)
  cv::Mat1b bits;  // 0/1, of rect's size; covers at least the requested window
};

// The most pixels one mask raster (a mask's rectangle, one byte a pixel)
// may hold: 2^30, 32 times an 8K frame (7680 x 4320) and 290 times the
// 2560 x 1440 frames the cameras write. A frame size beyond any camera's
// (a typo, a hostile file) otherwise asks the allocator for gigabytes or
// exabytes; packed masks of larger frames stay fine while their rectangle
// fits.
inline constexpr std::int64_t kMaxMaskPixels = std::int64_t{1} << 30;

// Thrown, before anything is allocated, for a raster above kMaxMaskPixels.
class MaskTooLarge : public std::length_error {
 public:
  using std::length_error::length_error;
};

// Throws MaskTooLarge, saying the size and the bound, when a raster of
// `size` would hold more than kMaxMaskPixels pixels.
void check_mask_raster(cv::Size size);

// Fills `polygon` (frame pixels, closed implicitly, 8-connected, no shift)
// and returns a raster covering at least `window` ∩ frame whose pixels equal
// the same region of cv::fillPoly on a `frame_size` raster. An empty polygon
// gives an empty raster (cv::fillPoly must never see one). Throws
// MaskTooLarge (this and the functions below) for a raster above
// kMaxMaskPixels.
PolygonRaster fill_polygon_window(const std::vector<cv::Point>& polygon, cv::Size frame_size, cv::Rect window);

// Fills `polygon` as cv::fillPoly would on a `frame_size` raster and returns
// a raster covering at least the polygon's rectangle clipped to the frame
// (empty when the polygon lies outside the frame).
PolygonRaster fill_polygon(const std::vector<cv::Point>& polygon, cv::Size frame_size);

// Returns the mask of `polygon` filled on a frame of `frame_size`, as
// cv::fillPoly would fill it; the work covers the polygon's own rectangle.
Mask fill_polygon_mask(const std::vector<cv::Point>& polygon, cv::Size frame_size);

// Returns the union of `polygons`, each filled as fill_polygon_mask would.
Mask fill_polygons_mask(const std::vector<std::vector<cv::Point>>& polygons, cv::Size frame_size);

}  // namespace pelk

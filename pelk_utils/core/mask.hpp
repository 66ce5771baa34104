// Mask: one object's binary mask on a frame, stored compactly.
// Only the tight bounding rectangle of the non-zero pixels is kept, one bit
// per pixel; a clip of 600 frames x 10 animals at 1180 x 1440 then needs
// about 35 MB instead of 10 GB (or 270 MB at a byte per pixel), and disjoint
// animals cost nothing to compare.
// Every measure taken on a Mask equals the one taken on the full-frame raster.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "pelk_utils/core/box.hpp"
#include "pelk_utils/core/ordered_map.hpp"

namespace pelk {

class Mask {
 public:
  // An empty mask on a 0 x 0 frame.
  Mask() = default;

  // Builds a mask from a full-frame single-channel raster of any depth;
  // a pixel is inside when its value is non-zero. The raster is not kept.
  explicit Mask(const cv::Mat& full_frame);

  // Builds a mask from `bits` (single channel, any depth, non-zero = inside)
  // laid at `rect` (pixels, exclusive bottom-right) on a frame of
  // `frame_size`. Parts of `rect` outside the frame are dropped; the result
  // is trimmed to its tight rectangle. Shares no buffer with `bits`.
  Mask(cv::Size frame_size, cv::Rect rect, const cv::Mat& bits);

  // Returns the frame size (width, height).
  cv::Size size() const { return frame_size_; }
  // Returns the number of pixels inside the mask.
  std::int64_t area() const { return area_; }
  // Returns true when no pixel is inside.
  bool empty() const { return area_ == 0; }
  // Returns the tight rectangle of the inside pixels (exclusive bottom-right);
  // an empty rectangle at (0, 0) when the mask is empty.
  cv::Rect bounds() const { return rect_; }
  // Returns (x_min, y_min, x_max, y_max) of the inside pixels as inclusive
  // pixel indices; (0, 0, 0, 0) when the mask is empty.
  Box box() const;
  // Returns the 0/1 CV_8UC1 raster of bounds() (a new buffer each call,
  // unpacked from the bits; call it once per use, not per row); empty when
  // the mask is empty.
  cv::Mat1b roi() const;
  // Returns the bytes that hold the pixels (shared by copies of the mask).
  std::size_t bytes() const { return packed_.total(); }
  // Returns the 0/1 CV_8UC1 raster of `area` (frame pixels, exclusive
  // bottom-right; pixels outside bounds() are 0): a part of the mask without
  // unpacking the rest.
  cv::Mat1b window(cv::Rect area) const;
  // Returns a frame-size 0/1 CV_8UC1 raster (a new buffer each call).
  cv::Mat1b full() const;
  // Returns the 0/1 value at column x, row y (0 outside the frame).
  std::uint8_t at(int x, int y) const;

  friend bool operator==(const Mask& a, const Mask& b);

 private:
  friend std::int64_t intersection_area(const Mask& a, const Mask& b);
  friend struct MaskMoments mask_moments(const Mask& mask);
  void adopt(cv::Rect rect, const cv::Mat& bits);
  // Returns the row `y` (0 = bounds().y) of the packed bits.
  const std::uint64_t* row(int y) const;

  cv::Size frame_size_{0, 0};
  cv::Rect rect_{0, 0, 0, 0};
  // bounds().height rows of `words_` 64-bit words: bit x % 64 of word x / 64
  // is column bounds().x + x; padding bits and one spare word per row are 0.
  // Copies of a Mask share it (cv::Mat reference counting).
  cv::Mat1b packed_;
  int words_ = 0;
  std::int64_t area_ = 0;
};

// The raw moments of a mask's pixels in full-frame coordinates (x column,
// y row): sums of 1, x, y, x^2, x y and y^2 over its pixels, exact integers.
struct MaskMoments {
  std::int64_t m00 = 0, m10 = 0, m01 = 0, m20 = 0, m11 = 0, m02 = 0;
};

// Returns the raw moments of `mask`, from runs of its packed rows (no raster).
MaskMoments mask_moments(const Mask& mask);

// Box key -> mask in the order the objects were produced.
using MaskDict = OrderedMap<std::string, Mask>;
// Box key -> number of pixels inside the mask.
using AreaMap = OrderedMap<std::string, std::int64_t>;

// Counts the pixels inside both masks; works on the rectangles' overlap only.
// Throws std::invalid_argument when the frame sizes differ.
std::int64_t intersection_area(const Mask& a, const Mask& b);

// Returns the pixels inside both masks as a new Mask.
Mask mask_and(const Mask& a, const Mask& b);

// Returns the areas of the masks of `masks`, same keys, same order.
AreaMap mask_areas(const MaskDict& masks);

// Builds one Mask per raster a segmenter returned for a frame of
// `frame_size` (single-channel rasters of any depth, non-zero = inside).
// Throws std::invalid_argument naming `call`, the mask's position, the
// expected and the received shape when a raster is not frame-sized or has
// several channels: a model answering on another grid is a fault, not a
// smaller animal.
std::vector<Mask> frame_masks(const std::vector<cv::Mat>& rasters, cv::Size frame_size, const std::string& call);

}  // namespace pelk

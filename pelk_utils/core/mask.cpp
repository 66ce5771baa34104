#include "pelk_utils/core/mask.hpp"

#include <algorithm>
#include <stdexcept>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace pelk {
namespace {

void require_same_frame(const Mask& a, const Mask& b) {
  if (a.size() != b.size()) {
    throw std::invalid_argument("masks of different frame sizes: " + std::to_string(a.size().width) + "x" +
                                std::to_string(a.size().height) + " and " + std::to_string(b.size().width) +
                                "x" + std::to_string(b.size().height));
  }
}

// Returns the tight rectangle of the non-zero pixels of an 8-bit raster,
// scanning each row from both ends. (cv::boundingRect on a raster of 0/1
// values misses pixels in OpenCV 4.6.)
cv::Rect nonzero_bounds(const cv::Mat1b& m) {
  int x0 = m.cols, x1 = -1, y0 = -1, y1 = -1;
  for (int y = 0; y < m.rows; ++y) {
    const std::uint8_t* p = m.ptr<std::uint8_t>(y);
    int a = 0;
    while (a < m.cols && p[a] == 0) ++a;
    if (a == m.cols) continue;
    int b = m.cols - 1;
    while (p[b] == 0) --b;
    if (y0 < 0) y0 = y;
    y1 = y;
    x0 = std::min(x0, a);
    x1 = std::max(x1, b);
  }
  if (y0 < 0) return {};
  return {x0, y0, x1 - x0 + 1, y1 - y0 + 1};
}

}  // namespace

Mask::Mask(const cv::Mat& full_frame) {
  if (full_frame.empty()) return;
  if (full_frame.channels() != 1 || full_frame.dims != 2) {
    throw std::invalid_argument("Mask needs a single-channel two-dimensional raster, got " +
                                std::to_string(full_frame.channels()) + " channels");
  }
  frame_size_ = full_frame.size();
  adopt(cv::Rect(cv::Point(0, 0), frame_size_), full_frame);
}

Mask::Mask(cv::Size frame_size, cv::Rect rect, const cv::Mat& bits) : frame_size_(frame_size) {
  if (bits.channels() != 1 || bits.size() != rect.size()) {
    throw std::invalid_argument("Mask bits must be single-channel and of the rectangle's size");
  }
  const cv::Rect inside = rect & cv::Rect(cv::Point(0, 0), frame_size);
  if (inside.empty()) return;
  adopt(inside, bits(cv::Rect(inside.tl() - rect.tl(), inside.size())));
}

void Mask::adopt(cv::Rect rect, const cv::Mat& bits) {
  cv::Mat1b nonzero;
  if (bits.depth() == CV_8U) {
    nonzero = bits;
  } else {
    cv::compare(bits, 0, nonzero, cv::CMP_NE);
  }
  const cv::Rect tight = nonzero_bounds(nonzero);
  if (tight.empty()) return;
  rect_ = tight + rect.tl();
  bits_.create(tight.size());
  std::int64_t area = 0;
  for (int y = 0; y < tight.height; ++y) {
    const std::uint8_t* in = nonzero.ptr<std::uint8_t>(tight.y + y) + tight.x;
    std::uint8_t* out = bits_.ptr<std::uint8_t>(y);
    int row = 0;
    for (int x = 0; x < tight.width; ++x) {
      out[x] = in[x] != 0;
      row += out[x];
    }
    area += row;
  }
  area_ = area;
}

Box Mask::box() const {
  if (empty()) return {0, 0, 0, 0};
  return {static_cast<double>(rect_.x), static_cast<double>(rect_.y), static_cast<double>(rect_.x + rect_.width - 1),
          static_cast<double>(rect_.y + rect_.height - 1)};
}

cv::Mat1b Mask::full() const {
  cv::Mat1b out = cv::Mat1b::zeros(frame_size_);
  if (!empty()) bits_.copyTo(out(rect_));
  return out;
}

std::uint8_t Mask::at(int x, int y) const {
  if (!rect_.contains(cv::Point(x, y))) return 0;
  return bits_(y - rect_.y, x - rect_.x);
}

bool operator==(const Mask& a, const Mask& b) {
  if (a.frame_size_ != b.frame_size_ || a.rect_ != b.rect_ || a.area_ != b.area_) return false;
  if (a.empty()) return true;
  return cv::countNonZero(a.bits_ != b.bits_) == 0;
}

std::int64_t intersection_area(const Mask& a, const Mask& b) {
  require_same_frame(a, b);
  const cv::Rect overlap = a.bounds() & b.bounds();
  if (overlap.empty()) return 0;
  const cv::Mat1b ra = a.roi()(overlap - a.bounds().tl());
  const cv::Mat1b rb = b.roi()(overlap - b.bounds().tl());
  std::int64_t count = 0;
  for (int y = 0; y < overlap.height; ++y) {
    const std::uint8_t* pa = ra.ptr<std::uint8_t>(y);
    const std::uint8_t* pb = rb.ptr<std::uint8_t>(y);
    int row = 0;
    for (int x = 0; x < overlap.width; ++x) row += pa[x] & pb[x];
    count += row;
  }
  return count;
}

Mask mask_and(const Mask& a, const Mask& b) {
  require_same_frame(a, b);
  const cv::Rect overlap = a.bounds() & b.bounds();
  if (overlap.empty()) return Mask(a.size(), cv::Rect(), cv::Mat1b());
  cv::Mat1b both;
  cv::bitwise_and(a.roi()(overlap - a.bounds().tl()), b.roi()(overlap - b.bounds().tl()), both);
  return Mask(a.size(), overlap, both);
}

AreaMap mask_areas(const MaskDict& masks) {
  AreaMap areas;
  for (const auto& [key, mask] : masks) areas.insert_or_assign(key, mask.area());
  return areas;
}

std::vector<Mask> frame_masks(const std::vector<cv::Mat>& rasters, cv::Size frame_size, const std::string& call) {
  const auto shape = [](const cv::Mat& m) {
    std::string text;
    for (int d = 0; d < m.dims; ++d) text += (d ? " x " : "") + std::to_string(m.size[d]);
    if (m.channels() > 1) text += " x " + std::to_string(m.channels()) + " channels";
    return text.empty() ? std::string("empty") : text;
  };
  std::vector<Mask> masks;
  masks.reserve(rasters.size());
  for (std::size_t i = 0; i < rasters.size(); ++i) {
    const cv::Mat& m = rasters[i];
    if (m.dims != 2 || m.channels() != 1 || m.size() != frame_size) {
      throw std::invalid_argument(call + ": mask " + std::to_string(i) + " is " + shape(m) + "; expected the frame's " +
                                  std::to_string(frame_size.height) + " x " + std::to_string(frame_size.width));
    }
    masks.emplace_back(m);
  }
  return masks;
}

}  // namespace pelk

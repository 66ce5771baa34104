#include "pelk_utils/core/polygon_fill.hpp"

#include <algorithm>
#include <cstring>
#include <cstdint>
#include <limits>

#include <opencv2/imgproc.hpp>

namespace pelk {
namespace {

// Inclusive integer ranges, wide enough for any int coordinates.
struct Span {
  std::int64_t x0, y0, x1, y1;
  bool empty() const { return x0 > x1 || y0 > y1; }
};

Span span_of(cv::Rect r) { return {r.x, r.y, std::int64_t{r.x} + r.width - 1, std::int64_t{r.y} + r.height - 1}; }

cv::Rect rect_of(const Span& s) {
  if (s.empty()) return {};
  return {static_cast<int>(s.x0), static_cast<int>(s.y0), static_cast<int>(s.x1 - s.x0 + 1),
          static_cast<int>(s.y1 - s.y0 + 1)};
}

Span intersect(const Span& a, const Span& b) {
  return {std::max(a.x0, b.x0), std::max(a.y0, b.y0), std::min(a.x1, b.x1), std::min(a.y1, b.y1)};
}

Span unite(const Span& a, const Span& b) {
  if (a.empty()) return b;
  if (b.empty()) return a;
  return {std::min(a.x0, b.x0), std::min(a.y0, b.y0), std::max(a.x1, b.x1), std::max(a.y1, b.y1)};
}

bool rows_overlap(const Span& a, const Span& b) { return a.y0 <= b.y1 && b.y0 <= a.y1; }

// Cohen-Sutherland outcode as OpenCV's clipLine computes it.
int outcode(const cv::Point& p, const Span& r) {
  return (p.x < r.x0) + (p.x > r.x1) * 2 + (p.y < r.y0) * 4 + (p.y > r.y1) * 8;
}

// Grows `canvas` until each edge either lies wholly on one outer side of it
// (OpenCV leaves such edges untouched) or has its in-frame part inside it.
// Edges that the frame itself clips are taken in whenever they cross the
// canvas rows, so that both rasters clip them at the same border.
Span grow_canvas(const std::vector<cv::Point>& polygon, const Span& frame, Span canvas) {
  const std::size_t n = polygon.size();
  for (bool changed = true; changed;) {
    changed = false;
    for (std::size_t i = 0; i < n; ++i) {
      const cv::Point& a = polygon[(i + n - 1) % n];
      const cv::Point& b = polygon[i];
      const Span box{std::min(a.x, b.x), std::min(a.y, b.y), std::max(a.x, b.x), std::max(a.y, b.y)};
      const int ca = outcode(a, frame);
      const int cb = outcode(b, frame);
      const bool frame_clips = (ca | cb) != 0 && (ca & cb) == 0;
      const bool touches = !intersect(box, canvas).empty();
      if (!touches && !(frame_clips && rows_overlap(box, canvas))) continue;
      const Span grown = unite(canvas, intersect(box, frame));
      if (grown.x0 != canvas.x0 || grown.y0 != canvas.y0 || grown.x1 != canvas.x1 || grown.y1 != canvas.y1) {
        canvas = grown;
        changed = true;
      }
    }
  }
  return canvas;
}

// Above this many vertices the canvas growth, quadratic in the vertex count
// at worst, gives way to the polygon's bounding box within the frame. That
// canvas clips at the frame border exactly where the whole frame does: on a
// side where it is narrower than the frame no vertex lies beyond it.
constexpr std::size_t kMaxGrowthVertices = 256;

Span polygon_span(const std::vector<cv::Point>& polygon) {
  Span box{polygon[0].x, polygon[0].y, polygon[0].x, polygon[0].y};
  for (const cv::Point& p : polygon) box = unite(box, Span{p.x, p.y, p.x, p.y});
  return box;
}

}  // namespace

void check_mask_raster(cv::Size size) {
  const std::int64_t pixels = std::int64_t{size.width} * size.height;
  if (pixels <= kMaxMaskPixels) return;
  throw MaskTooLarge("a mask of " + std::to_string(size.width) + " x " + std::to_string(size.height) + " pixels is beyond the " +
                     std::to_string(kMaxMaskPixels) + " pixels (2^30) a mask may hold");
}

PolygonRaster fill_polygon_window(const std::vector<cv::Point>& polygon, cv::Size frame_size, cv::Rect window) {
  const Span frame = span_of(cv::Rect(cv::Point(0, 0), frame_size));
  const Span start = intersect(span_of(window), frame);
  if (polygon.empty() || start.empty()) return {};
  const Span grown = polygon.size() > kMaxGrowthVertices ? unite(start, intersect(polygon_span(polygon), frame))
                                                         : grow_canvas(polygon, frame, start);
  const cv::Rect canvas = rect_of(grown);
  check_mask_raster(canvas.size());
  cv::Mat1b bits = cv::Mat1b::zeros(canvas.size());
  const std::vector<std::vector<cv::Point>> polygons{polygon};
  cv::fillPoly(bits, polygons, cv::Scalar(1), cv::LINE_8, 0, -canvas.tl());
  return {canvas, bits};
}

PolygonRaster fill_polygon(const std::vector<cv::Point>& polygon, cv::Size frame_size) {
  if (polygon.empty()) return {};
  const Span inside = intersect(polygon_span(polygon), span_of(cv::Rect(cv::Point(0, 0), frame_size)));
  if (inside.empty()) return {};
  return fill_polygon_window(polygon, frame_size, rect_of(inside));
}

Mask fill_polygon_mask(const std::vector<cv::Point>& polygon, cv::Size frame_size) {
  const PolygonRaster raster = fill_polygon(polygon, frame_size);
  if (raster.bits.empty()) return Mask(frame_size, cv::Rect(), cv::Mat1b());
  return Mask(frame_size, raster.rect, raster.bits);
}

Mask fill_polygons_mask(const std::vector<std::vector<cv::Point>>& polygons, cv::Size frame_size) {
  if (polygons.size() == 1) {
    // The common case, one outline: filled in a scratch raster the thread
    // keeps, so that reading a clip does not allocate (and fault in) a
    // fresh raster for every mask.
    const std::vector<cv::Point>& polygon = polygons.front();
    if (polygon.empty()) return Mask(frame_size, cv::Rect(), cv::Mat1b());
    const Span frame = span_of(cv::Rect(cv::Point(0, 0), frame_size));
    const Span start = intersect(polygon_span(polygon), frame);
    if (start.empty()) return Mask(frame_size, cv::Rect(), cv::Mat1b());
    const Span grown = polygon.size() > kMaxGrowthVertices ? unite(start, intersect(polygon_span(polygon), frame))
                                                           : grow_canvas(polygon, frame, start);
    const cv::Rect canvas = rect_of(grown);
    check_mask_raster(canvas.size());
    thread_local std::vector<uchar> scratch;
    const auto area = static_cast<std::size_t>(canvas.area());
    if (scratch.size() < area) scratch.resize(area);
    std::memset(scratch.data(), 0, area);
    cv::Mat1b bits(canvas.height, canvas.width, scratch.data());
    cv::fillPoly(bits, std::vector<std::vector<cv::Point>>{polygon}, cv::Scalar(1), cv::LINE_8, 0, -canvas.tl());
    Mask mask(frame_size, canvas, bits);
    // A huge outline once should not keep its raster for the thread's life.
    if (scratch.size() > (std::size_t{16} << 20)) std::vector<uchar>().swap(scratch);
    return mask;
  }
  std::vector<PolygonRaster> rasters;
  cv::Rect united;
  for (const std::vector<cv::Point>& points : polygons) {
    PolygonRaster raster = fill_polygon(points, frame_size);
    if (raster.bits.empty()) continue;
    united = united.empty() ? raster.rect : (united | raster.rect);
    rasters.push_back(std::move(raster));
  }
  if (rasters.empty()) return Mask(frame_size, cv::Rect(), cv::Mat1b());
  if (rasters.size() == 1) return Mask(frame_size, rasters[0].rect, rasters[0].bits);
  check_mask_raster(united.size());
  cv::Mat1b bits = cv::Mat1b::zeros(united.size());
  for (const PolygonRaster& r : rasters) {
    cv::Mat1b target = bits(r.rect - united.tl());
    cv::bitwise_or(target, r.bits, target);
  }
  return Mask(frame_size, united, bits);
}

}  // namespace pelk

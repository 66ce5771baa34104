#include "pelk_utils/core/polygon_fill.hpp"

#include <random>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace pelk {
namespace {

cv::Mat1b full_fill(const std::vector<cv::Point>& polygon, cv::Size frame) {
  cv::Mat1b m = cv::Mat1b::zeros(frame);
  cv::fillPoly(m, std::vector<std::vector<cv::Point>>{polygon}, cv::Scalar(1), cv::LINE_8);
  return m;
}

TEST(PolygonFillTest, EmptyPolygonGivesEmptyRaster) {
  EXPECT_TRUE(fill_polygon_window({}, {10, 10}, {0, 0, 10, 10}).bits.empty());
  EXPECT_TRUE(fill_polygon_mask({}, {10, 10}).empty());
}

TEST(PolygonFillTest, PolygonOutsideFrameGivesEmptyMask) {
  const Mask m = fill_polygon_mask({{-20, -20}, {-5, -20}, {-5, -5}}, {10, 10});
  EXPECT_TRUE(m.empty());
  EXPECT_EQ(m.size(), cv::Size(10, 10));
}

// Random polygons, many of them crossing the frame border, compared with a
// fill of the whole frame: inside any window the pixels must be the same.
// Small polygons take the canvas growth, large ones (over 256 vertices) the
// bounding-box canvas; both must match.
class PolygonFillPropertyTest : public ::testing::TestWithParam<int> {};

INSTANTIATE_TEST_SUITE_P(VertexCounts, PolygonFillPropertyTest, ::testing::Values(9, 400),
                         [](const auto& info) { return "UpTo" + std::to_string(info.param) + "Vertices"; });

TEST_P(PolygonFillPropertyTest, WindowMatchesWholeFrameFill) {
  std::mt19937 rng(3);
  const cv::Size frame(97, 61);
  std::uniform_int_distribution<int> xs(-40, 136), ys(-30, 90), nv(1, GetParam());
  std::uniform_int_distribution<int> wx(0, 96), wy(0, 60), ww(1, 40);
  const int trials = GetParam() > 100 ? 300 : 2000;
  for (int trial = 0; trial < trials; ++trial) {
    std::vector<cv::Point> poly;
    const int n = nv(rng);
    for (int i = 0; i < n; ++i) poly.emplace_back(xs(rng), ys(rng));
    const cv::Mat1b reference = full_fill(poly, frame);

    const cv::Rect window(wx(rng), wy(rng), ww(rng), ww(rng));
    const PolygonRaster raster = fill_polygon_window(poly, frame, window);
    const cv::Rect inside = window & cv::Rect(cv::Point(), frame);
    ASSERT_EQ(raster.rect & inside, inside) << trial;
    const cv::Mat1b got = raster.bits(cv::Rect(inside.tl() - raster.rect.tl(), inside.size()));
    ASSERT_EQ(cv::countNonZero(got != reference(inside)), 0) << "trial " << trial;

    ASSERT_EQ(fill_polygon_mask(poly, frame), Mask(reference)) << "trial " << trial;
  }
}

// A valid staircase pen of 360,000 vertices next to a small mask used to
// take tens of seconds; the fill must stay linear in the vertex count.
TEST(PolygonFillTest, StaircaseOfManyVerticesFillsLikeTheWholeFrame) {
  const cv::Size frame(1440, 1180);
  std::vector<cv::Point> poly;
  const int steps = 90000;  // 4 vertices per step pair
  for (int i = 0; i < steps; ++i) {
    const int x = 10 + i * 1400 / steps, y = 10 + (i % 2);
    poly.emplace_back(x, y);
    poly.emplace_back(x, y + 1);
  }
  for (int i = steps - 1; i >= 0; --i) {
    const int x = 10 + i * 1400 / steps, y = 1100 + (i % 2);
    poly.emplace_back(x, y);
    poly.emplace_back(x, y - 1);
  }
  const cv::Rect window(700, 500, 40, 30);
  const PolygonRaster raster = fill_polygon_window(poly, frame, window);
  const cv::Mat1b reference = full_fill(poly, frame);
  const cv::Mat1b got = raster.bits(cv::Rect(window.tl() - raster.rect.tl(), window.size()));
  EXPECT_EQ(cv::countNonZero(got != reference(window)), 0);
}

}  // namespace
}  // namespace pelk

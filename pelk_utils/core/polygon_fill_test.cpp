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
TEST(PolygonFillPropertyTest, WindowMatchesWholeFrameFill) {
  std::mt19937 rng(3);
  const cv::Size frame(97, 61);
  std::uniform_int_distribution<int> xs(-40, 136), ys(-30, 90), nv(1, 9);
  std::uniform_int_distribution<int> wx(0, 96), wy(0, 60), ww(1, 40);
  for (int trial = 0; trial < 2000; ++trial) {
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

}  // namespace
}  // namespace pelk

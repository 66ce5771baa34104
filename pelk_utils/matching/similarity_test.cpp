#include "pelk_utils/matching/similarity.hpp"

#include <cmath>
#include <random>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace pelk {
namespace {

// The plain computation on full-frame rasters, for comparison.
cv::Mat1d full_frame_iou(const std::vector<Mask>& a, const std::vector<Mask>& b) {
  cv::Mat1d out(static_cast<int>(a.size()), static_cast<int>(b.size()));
  for (int i = 0; i < out.rows; ++i) {
    for (int j = 0; j < out.cols; ++j) {
      const cv::Mat1b x = a[i].full(), y = b[j].full();
      const double inter = cv::countNonZero(x & y), uni = cv::countNonZero(x | y);
      out(i, j) = inter / (uni + 0.000001);
    }
  }
  return out;
}

cv::Mat1d full_frame_centroid(const std::vector<Mask>& a, const std::vector<Mask>& b) {
  cv::Mat1d d(static_cast<int>(a.size()), static_cast<int>(b.size()));
  const auto centre = [](const Mask& m) {
    const cv::Moments mo = cv::moments(m.full(), false);
    return mo.m00 == 0 ? cv::Point2d(NAN, NAN) : cv::Point2d(mo.m01 / mo.m00, mo.m10 / mo.m00);
  };
  double max_valid = NAN;
  for (int i = 0; i < d.rows; ++i) {
    for (int j = 0; j < d.cols; ++j) {
      const cv::Point2d p = centre(a[i]), q = centre(b[j]);
      d(i, j) = std::sqrt((p.x - q.x) * (p.x - q.x) + (p.y - q.y) * (p.y - q.y));
      if (!std::isnan(d(i, j)) && (std::isnan(max_valid) || d(i, j) > max_valid)) max_valid = d(i, j);
    }
  }
  double max_dist = -INFINITY;
  for (double& v : d) {
    if (std::isnan(v)) v = max_valid + 1.0;
    max_dist = std::isnan(v) || std::isnan(max_dist) ? NAN : std::max(max_dist, v);
  }
  for (double& v : d) v = 1 - v / (max_dist + 0.000001);
  return d;
}

std::vector<Mask> random_masks(std::mt19937& rng, cv::Size frame, int n, double empty_chance) {
  std::uniform_int_distribution<int> x(-10, frame.width), y(-10, frame.height), r(1, 25);
  std::uniform_real_distribution<double> u(0, 1);
  std::vector<Mask> masks;
  for (int k = 0; k < n; ++k) {
    cv::Mat1b m = cv::Mat1b::zeros(frame);
    if (u(rng) >= empty_chance) {
      cv::ellipse(m, cv::Point(x(rng), y(rng)), cv::Size(r(rng), r(rng)), 0, 0, 360, 1, cv::FILLED);
      cv::circle(m, cv::Point(x(rng), y(rng)), r(rng) / 3, 1, cv::FILLED);
    }
    masks.emplace_back(m);
  }
  return masks;
}

bool same(const cv::Mat1d& a, const cv::Mat1d& b) {
  if (a.size() != b.size()) return false;
  for (int i = 0; i < a.rows; ++i) {
    for (int j = 0; j < a.cols; ++j) {
      const bool both_nan = std::isnan(a(i, j)) && std::isnan(b(i, j));
      if (!both_nan && a(i, j) != b(i, j)) return false;
    }
  }
  return true;
}

// Exact equality with the full-frame computation on random masks, some of
// them empty, some clipped by the frame border.
TEST(MaskSimilarityPropertyTest, EqualsTheFullFrameComputation) {
  std::mt19937 rng(7);
  const cv::Size frame(120, 90);
  for (int trial = 0; trial < 300; ++trial) {
    const auto a = random_masks(rng, frame, 1 + trial % 6, trial % 7 == 0 ? 1.0 : 0.15);
    const auto b = random_masks(rng, frame, 1 + trial % 5, 0.15);
    ASSERT_TRUE(same(cal_masks_iou_scores(a, b), full_frame_iou(a, b))) << "trial " << trial;
    ASSERT_TRUE(same(cal_centroid_distance(a, b), full_frame_centroid(a, b))) << "trial " << trial;
  }
}

Mask square(cv::Size frame, cv::Rect r) {
  cv::Mat1b m = cv::Mat1b::zeros(frame);
  m(r).setTo(1);
  return Mask(m);
}

TEST(MaskSimilarityTest, IdenticalSetsDisjointMasksAndEmptyMasks) {
  const cv::Size f(50, 40);
  const std::vector<Mask> set{square(f, {0, 0, 10, 10}), square(f, {30, 20, 8, 8})};
  const cv::Mat1d iou = cal_masks_iou_scores(set, set);
  EXPECT_NEAR(iou(0, 0), 1.0, 1e-6);
  EXPECT_EQ(iou(0, 1), 0.0);
  const cv::Mat1d sim = cal_centroid_distance(set, set);
  EXPECT_EQ(sim(0, 0), 1.0);
  EXPECT_EQ(sim(1, 1), 1.0);
  const double d = std::hypot(23.5 - 4.5, 33.5 - 4.5);  // centres (4.5, 4.5) and (23.5, 33.5)
  EXPECT_NEAR(sim(0, 1), 1e-6 / (d + 1e-6), 1e-12);

  const std::vector<Mask> with_empty{Mask(cv::Mat1b::zeros(f)), set[0]};
  const cv::Mat1d iou_e = cal_masks_iou_scores(with_empty, set);
  EXPECT_EQ(iou_e(0, 0), 0.0);
  EXPECT_EQ(iou_e(0, 1), 0.0);
  const cv::Mat1d sim_e = cal_centroid_distance(with_empty, set);
  EXPECT_NEAR(sim_e(0, 0), 1e-6 / (d + 1 + 1e-6), 1e-15);
}

TEST(MaskSimilarityTest, AllPairsWithAnEmptyMaskGiveNaN) {
  const cv::Size f(20, 20);
  const std::vector<Mask> empty{Mask(cv::Mat1b::zeros(f))};
  const cv::Mat1d sim = cal_centroid_distance(empty, {square(f, {1, 1, 3, 3}), square(f, {9, 9, 3, 3})});
  ASSERT_EQ(sim.size(), cv::Size(2, 1));
  EXPECT_TRUE(std::isnan(sim(0, 0)) && std::isnan(sim(0, 1)));
}

TEST(MaskSimilarityTest, SharedCentroidsGiveOneAndEmptyInputsKeepTheirShape) {
  const cv::Size f(30, 30);
  const std::vector<Mask> a{square(f, {10, 10, 10, 10})}, b{square(f, {12, 12, 6, 6}), square(f, {5, 5, 20, 20})};
  const cv::Mat1d sim = cal_centroid_distance(a, b);
  EXPECT_EQ(sim(0, 0), 1.0);
  EXPECT_EQ(sim(0, 1), 1.0);
  EXPECT_EQ(cal_masks_iou_scores({}, b).size(), cv::Size(2, 0));
  EXPECT_EQ(cal_centroid_distance(a, {}).size(), cv::Size(0, 1));
}

}  // namespace
}  // namespace pelk

#include "pelk_utils/matching/similarity.hpp"

#include <cmath>
#include <limits>
#include <optional>

#include <opencv2/imgproc.hpp>

namespace pelk {
namespace {

struct Centroid {
  double row, col;
};

// Returns the centre of mass of a mask from the moments of its rectangle,
// shifted by the rectangle's offset; null for an empty mask.
std::optional<Centroid> centroid_of(const Mask& mask) {
  if (mask.empty()) return std::nullopt;
  const cv::Moments m = cv::moments(mask.roi(), false);
  const cv::Rect r = mask.bounds();
  const double m10 = m.m10 + r.x * m.m00, m01 = m.m01 + r.y * m.m00;
  return Centroid{m01 / m.m00, m10 / m.m00};
}

}  // namespace

cv::Mat1d cal_masks_iou_scores(const std::vector<Mask>& masks_new, const std::vector<Mask>& masks_old) {
  cv::Mat1d scores(static_cast<int>(masks_new.size()), static_cast<int>(masks_old.size()), 0.0);
  for (int i = 0; i < scores.rows; ++i) {
    for (int j = 0; j < scores.cols; ++j) {
      const Mask& a = masks_new[static_cast<std::size_t>(i)];
      const Mask& b = masks_old[static_cast<std::size_t>(j)];
      const std::int64_t inter = intersection_area(a, b);
      scores(i, j) = static_cast<double>(inter) / (static_cast<double>(a.area() + b.area() - inter) + 0.000001);
    }
  }
  return scores;
}

cv::Mat1d cal_centroid_distance(const std::vector<Mask>& masks_new, const std::vector<Mask>& masks_old) {
  const int rows = static_cast<int>(masks_new.size()), cols = static_cast<int>(masks_old.size());
  cv::Mat1d distance(rows, cols, 0.0);
  if (rows == 0 || cols == 0) return distance;
  std::vector<std::optional<Centroid>> old_centres;
  for (const Mask& m : masks_old) old_centres.push_back(centroid_of(m));
  const double nan = std::numeric_limits<double>::quiet_NaN();
  double max_valid = nan;
  for (int i = 0; i < rows; ++i) {
    const std::optional<Centroid> a = centroid_of(masks_new[static_cast<std::size_t>(i)]);
    for (int j = 0; j < cols; ++j) {
      const std::optional<Centroid>& b = old_centres[static_cast<std::size_t>(j)];
      if (!a || !b) {
        distance(i, j) = nan;
        continue;
      }
      const double dr = a->row - b->row, dc = a->col - b->col;
      distance(i, j) = std::sqrt(dr * dr + dc * dc);
      if (std::isnan(max_valid) || distance(i, j) > max_valid) max_valid = distance(i, j);
    }
  }
  double max_dist = -std::numeric_limits<double>::infinity();
  for (double& d : distance) {
    if (std::isnan(d)) d = max_valid + 1.0;
    max_dist = std::isnan(d) || std::isnan(max_dist) ? nan : std::max(max_dist, d);
  }
  cv::Mat1d similarity(rows, cols);
  for (int i = 0; i < rows; ++i) {
    for (int j = 0; j < cols; ++j) similarity(i, j) = 1 - distance(i, j) / (max_dist + 0.000001);
  }
  return similarity;
}

}  // namespace pelk

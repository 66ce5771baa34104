#include "pelk_utils/core/overlap.hpp"

#include <algorithm>

namespace pelk {
namespace {

double percent_of(std::int64_t part, std::int64_t whole) {
  if (whole <= 0) return 0.0;
  return static_cast<double>(part) / static_cast<double>(whole) * 100.0;
}

}  // namespace

double calculate_iou(const Box& box1, const Box& box2) {
  const double x_topleft = std::max(box1[0], box2[0]);
  const double y_topleft = std::max(box1[1], box2[1]);
  const double x_bottomright = std::min(box1[2], box2[2]);
  const double y_bottomright = std::min(box1[3], box2[3]);
  double intersection_area = 0.0;
  if (x_topleft < x_bottomright && y_topleft < y_bottomright) {
    intersection_area = (x_bottomright - x_topleft) * (y_bottomright - y_topleft);
  }
  const double area_box1 = (box1[2] - box1[0]) * (box1[3] - box1[1]);
  const double area_box2 = (box2[2] - box2[0]) * (box2[3] - box2[1]);
  const double union_area = area_box1 + area_box2 - intersection_area;
  return union_area > 0 ? intersection_area / union_area : 0.0;
}

double calculate_masks_intersection(const Mask& mask1, const Mask& mask2) {
  const std::int64_t intersection = intersection_area(mask1, mask2);
  return percent_of(intersection, mask1.area());
}

MaskIntersection calculate_masks_intersection_new(const Mask& mask1, const Mask& mask2, std::int64_t mask_area_1,
                                                  std::int64_t mask_area_2) {
  const std::int64_t intersection = intersection_area(mask1, mask2);
  return {percent_of(intersection, mask_area_1), percent_of(intersection, mask_area_2)};
}

IntersectionsTable intersection_between_masks(const MaskDict& masks_dict, const AreaMap& processed_mask_areas) {
  const AreaMap areas = processed_mask_areas.empty() ? mask_areas(masks_dict) : processed_mask_areas;
  const std::vector<std::string> keys = masks_dict.keys();
  const int n = static_cast<int>(keys.size());
  cv::Mat1d cells = cv::Mat1d::zeros(n, n);
  for (int i = 0; i < n; ++i) {
    const std::int64_t area_i = areas.at(keys[i]);
    if (area_i <= 1) continue;
    const Mask& mask_i = masks_dict[static_cast<std::size_t>(i)].second;
    for (int j = 0; j < i; ++j) {
      const std::int64_t area_j = areas.at(keys[j]);
      const auto [result_1, result_2] =
          calculate_masks_intersection_new(mask_i, masks_dict[static_cast<std::size_t>(j)].second, area_i, area_j);
      cells(i, j) = result_1;
      cells(j, i) = result_2;
    }
  }
  return IntersectionsTable(keys, cells);
}

}  // namespace pelk

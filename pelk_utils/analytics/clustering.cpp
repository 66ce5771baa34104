#include "pelk_utils/analytics/clustering.hpp"

#include <algorithm>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include <opencv2/imgproc.hpp>

#include "pelk_utils/core/number.hpp"

namespace pelk {
namespace {

std::optional<cv::Point> contour_centroid(const Mask& mask) {
  if (mask.empty()) return std::nullopt;
  // One pixel of padding: contour tracing treats the image edge as outside.
  const cv::Rect r = mask.bounds();
  cv::Mat1b padded = cv::Mat1b::zeros(r.height + 2, r.width + 2);
  mask.roi().copyTo(padded(cv::Rect(1, 1, r.width, r.height)));
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(padded, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE, r.tl() - cv::Point(1, 1));
  if (contours.empty()) return std::nullopt;
  std::size_t largest = 0;
  double largest_area = -1;
  for (std::size_t i = 0; i < contours.size(); ++i) {
    const double a = cv::contourArea(contours[i]);
    if (a > largest_area) {
      largest_area = a;
      largest = i;
    }
  }
  const cv::Moments m = cv::moments(contours[largest]);
  if (m.m00 == 0) return std::nullopt;
  return cv::Point(static_cast<int>(m.m10 / m.m00), static_cast<int>(m.m01 / m.m00));
}

// Refuses the settings under which DBSCAN has no meaning (every point would
// be noise), as the usual clustering libraries do.
void check_settings(double eps, int min_samples) {
  if (!(eps > 0)) throw std::invalid_argument("eps must be positive, got " + format_number(eps));
  if (min_samples < 1) throw std::invalid_argument("min_samples must be at least 1, got " + std::to_string(min_samples));
}

}  // namespace

std::vector<int> dbscan(const std::vector<cv::Point>& points, double eps, int min_samples) {
  check_settings(eps, min_samples);
  const std::size_t n = points.size();
  std::vector<std::vector<std::size_t>> neighbours(n);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      const double dx = points[i].x - points[j].x, dy = points[i].y - points[j].y;
      if (std::sqrt(dx * dx + dy * dy) <= eps) neighbours[i].push_back(j);
    }
  }
  std::vector<int> labels(n, -1);
  int next = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (labels[i] != -1 || static_cast<int>(neighbours[i].size()) < min_samples) continue;
    std::vector<std::size_t> stack{i};
    labels[i] = next;
    while (!stack.empty()) {
      const std::size_t p = stack.back();
      stack.pop_back();
      if (static_cast<int>(neighbours[p].size()) < min_samples) continue;  // border point: no expansion
      for (std::size_t q : neighbours[p]) {
        if (labels[q] == -1) {
          labels[q] = next;
          stack.push_back(q);
        }
      }
    }
    ++next;
  }
  // Number the clusters by their first point in the list.
  std::map<int, int> renumber;
  for (int& l : labels) {
    if (l == -1) continue;
    const auto [it, fresh] = renumber.emplace(l, static_cast<int>(renumber.size()));
    l = it->second;
  }
  return labels;
}

OrderedMap<std::string, std::vector<std::string>> cluster_masks_and_print(const MaskDict& masks_dict, double eps,
                                                                          int min_samples) {
  check_settings(eps, min_samples);
  std::vector<cv::Point> centroids;
  std::vector<std::string> keys;
  for (const auto& [key, mask] : masks_dict) {
    if (const auto c = contour_centroid(mask)) {
      centroids.push_back(*c);
      keys.push_back(key);
    }
  }
  OrderedMap<std::string, std::vector<std::string>> out;
  out.insert_or_assign("Noise", {});
  const std::vector<int> labels = dbscan(centroids, eps, min_samples);
  for (std::size_t i = 0; i < labels.size(); ++i) {
    const std::string group = labels[i] == -1 ? "Noise" : "Cluster " + std::to_string(labels[i]);
    if (!out.contains(group)) out.insert_or_assign(group, {});
    out.at(group).push_back(keys[i]);
  }
  return out;
}

}  // namespace pelk

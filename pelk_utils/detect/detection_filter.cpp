#include "pelk_utils/detect/detection_filter.hpp"

#include <algorithm>
#include <numeric>
#include <stdexcept>

namespace pelk {

FilteredDetections process_gdino_results(const std::vector<DetectionResult>& gdino_results,
                                         const std::string& target_label) {
  if (gdino_results.empty()) throw std::out_of_range("process_gdino_results: no detection result given");
  const DetectionResult& r = gdino_results.front();
  if (r.scores.size() != r.boxes.size() || r.labels.size() != r.boxes.size()) {
    throw std::invalid_argument("detection result has " + std::to_string(r.boxes.size()) + " boxes, " +
                                std::to_string(r.scores.size()) + " scores and " + std::to_string(r.labels.size()) +
                                " labels");
  }
  std::vector<std::size_t> order(r.boxes.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    if (r.boxes[a][1] != r.boxes[b][1]) return r.boxes[a][1] < r.boxes[b][1];
    return r.boxes[a][0] < r.boxes[b][0];
  });
  const bool has_target = std::find(r.labels.begin(), r.labels.end(), target_label) != r.labels.end();
  FilteredDetections out;
  for (std::size_t i : order) {
    if (has_target && r.labels[i] != target_label) continue;
    out.boxes.push_back(r.boxes[i]);
    out.scores.push_back(r.scores[i]);
    out.labels.push_back(r.labels[i]);
  }
  return out;
}

}  // namespace pelk

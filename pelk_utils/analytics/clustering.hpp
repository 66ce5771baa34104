// Centroid clustering: groups the animals of one frame by where they lie
// (DBSCAN on mask centroids), so a reviewer sees which masks form a huddle.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "pelk_utils/core/mask.hpp"
#include "pelk_utils/core/ordered_map.hpp"

namespace pelk {

// Returns DBSCAN labels of `points` (Euclidean; a point within `eps`,
// inclusive, is a neighbour; a core point has at least `min_samples`
// neighbours counting itself): -1 for noise, clusters numbered from 0 in the
// order of their first point in the list. Throws std::invalid_argument
// when `eps` is not positive (or NaN) or `min_samples` is below 1.
std::vector<int> dbscan(const std::vector<cv::Point>& points, double eps, int min_samples);

// Returns {"Noise": keys in no cluster, "Cluster i": keys, ...}: each
// mask's centroid is that of its largest external contour (first wins ties;
// moments, truncated to whole pixels); masks without a contour or whose
// contour has zero area are left out. "Noise" comes first, clusters in the
// order of their first member. With no centroid at all: {"Noise": []}.
// Despite the name nothing is printed. Settings are checked as dbscan's.
OrderedMap<std::string, std::vector<std::string>> cluster_masks_and_print(const MaskDict& masks_dict, double eps = 100,
                                                                          int min_samples = 1);

}  // namespace pelk

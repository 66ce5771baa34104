// Mask similarity between two frames: pairwise intersection over union and
// a centroid-distance similarity, laid out new x old (one row per new mask,
// one column per old mask). Both work on each mask's rectangle and equal the
// full-frame computation exactly.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "pelk_utils/core/mask.hpp"

namespace pelk {

// Returns cell (i, j) = |new_i AND old_j| / (|new_i OR old_j| + 1e-06).
// Empty inputs give a matrix with no rows or no columns. Throws
// std::invalid_argument when frame sizes differ.
cv::Mat1d cal_masks_iou_scores(const std::vector<Mask>& masks_new, const std::vector<Mask>& masks_old);

// Returns the centroid similarity: the distance in pixels between the
// centres of mass (row, column) of new_i and old_j; pairs with an empty mask
// are set to the largest measured distance + 1.0; then 1 - d / (max + 1e-06).
// When every pair involves an empty mask the whole matrix is NaN. Empty
// inputs give a matrix with no rows or no columns.
cv::Mat1d cal_centroid_distance(const std::vector<Mask>& masks_new, const std::vector<Mask>& masks_old);

}  // namespace pelk

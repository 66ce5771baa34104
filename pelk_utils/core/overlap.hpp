// Overlap measures: how much two boxes or two masks of one frame overlap.
// The intersections table built here is what the clip initializer uses to
// drop stacked detections and what the tracking report reads.
#pragma once

#include <cstdint>

#include "pelk_utils/core/box.hpp"
#include "pelk_utils/core/intersections_table.hpp"
#include "pelk_utils/core/mask.hpp"

namespace pelk {

// Returns the intersection over union of two boxes (x_min, y_min, x_max,
// y_max, pixels; width = x_max - x_min, no pixel added). Boxes touching only
// along an edge or corner do not intersect. Returns 0.0 when the union area
// is not positive.
double calculate_iou(const Box& box1, const Box& box2);

// Returns the percentage of `mask1` covered by `mask2`, 0.0 when `mask1` is
// empty. Throws std::invalid_argument when the frame sizes differ.
double calculate_masks_intersection(const Mask& mask1, const Mask& mask2);

struct MaskIntersection {
  double result_1;  // intersection as a percentage of mask_area_1
  double result_2;  // intersection as a percentage of mask_area_2
};

// Returns the intersection of two masks as a percentage of each given area;
// an area that is not positive gives 0.0. The areas are not recounted.
MaskIntersection calculate_masks_intersection_new(const Mask& mask1, const Mask& mask2, std::int64_t mask_area_1,
                                                  std::int64_t mask_area_2);

// Returns the intersections table of `masks_dict`: cell (r, c) is the
// percentage of mask r covered by mask c. Each unordered pair is intersected
// once (lower triangle) and both cells come from that one count. A pair whose
// row mask (the later key) has an area of at most 1 is skipped and keeps 0 in
// both cells. `processed_mask_areas` gives the area of every key; when it is
// empty the areas are counted here. Throws std::out_of_range when a non-empty
// `processed_mask_areas` lacks a key of `masks_dict`.
IntersectionsTable intersection_between_masks(const MaskDict& masks_dict, const AreaMap& processed_mask_areas = {});

}  // namespace pelk

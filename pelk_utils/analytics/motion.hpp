// Motion scores: how much each animal moves between two consecutive frames,
// as the mean dense optical-flow magnitude inside its mask.
#pragma once

#include <string>
#include <vector>

#include "pelk_utils/core/mask.hpp"
#include "pelk_utils/core/ordered_map.hpp"

namespace pelk {

// Reads video_frames[0] and [1] as grey images, computes Farneback flow
// between them (scale 0.5, 3 levels, window 15, 3 iterations, poly_n 5,
// poly_sigma 1.2), and returns per key of `masks_dict`, in order, the mean
// flow magnitude (pixels per frame) over the mask's pixels; 0 for an empty
// mask. Throws std::invalid_argument for fewer than two paths or masks of
// another size than the frames, std::runtime_error for an unreadable frame.
OrderedMap<std::string, double> compute_motion_score_in_polygon(const std::vector<std::string>& video_frames,
                                                                const MaskDict& masks_dict);

}  // namespace pelk

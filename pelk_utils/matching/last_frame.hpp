// Last-frame selection: the identities of a tracked clip are carried into
// the next one from its last usable frame, the latest frame in which every
// expected animal has a real mask and no two masks lie on top of each other.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "pelk_utils/annotation/clip_loader.hpp"

namespace pelk {

// The number of animals in a pen, a constant of the system.
inline constexpr int kAnimalsPerPen = 10;

struct BestLastFrame {
  FrameRecord* best_laste_frame = nullptr;  // points into the caller's data; null when none qualifies
  bool no_best_laste_frame = true;
};

// Removes every truthy (non-null, non-empty) key of `remove_stack_obs` from
// every frame's masks_dict of `laste_frame`, in place (missing keys are
// ignored), then walks back from the last frame key, at most `max_attempts`
// frames and never past the first, and returns the first frame whose mask
// areas all exceed `min_area`, with at least 10 - (non-null entries) masks
// of positive area and every intersections-table cell below 50 percent.
// Prints "Switched to frame key K due to small mask area in later frames."
// when the chosen key is not 599, and on failure "No valid frame found with
// all masks area > <min_area> in the last <max_attempts> frames for
// <n_track> tracks." with a null record and the flag true.
BestLastFrame find_best_laste_frame(ClipAnnotationData& laste_frame, int min_area = 10, int max_attempts = 10,
                                    const std::vector<std::optional<std::string>>& remove_stack_obs = {});

}  // namespace pelk

// Small-area boxes: identities whose mask has shrunk to a few pixels in
// many late frames of a clip (usually an animal hidden under another), which
// should not be carried into the next clip.
#pragma once

#include <string>
#include <vector>

#include "pelk_utils/annotation/clip_loader.hpp"

namespace pelk {

// Returns the box keys whose mask area is at most `area_threshold` in more
// than `min_count` frames with a frame key above `min_frame_id`, in the
// order each was first seen small.
std::vector<std::string> find_boxes_with_small_area_from_last_video(const ClipAnnotationData& laste_frame,
                                                                    double min_frame_id = 500,
                                                                    double area_threshold = 100,
                                                                    double min_count = 100);

// The same over (frame key, record) pairs walked in the order given (a
// caller's own clip, kept in its own order).
std::vector<std::string> find_boxes_with_small_area(const std::vector<std::pair<int, const FrameRecord*>>& frames,
                                                    double min_frame_id, double area_threshold, double min_count);

}  // namespace pelk

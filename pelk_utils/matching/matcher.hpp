// Box-prompted matcher: starts a new clip with the identities of the
// previous one by prompting the segmenter on the new clip's frame with the
// boxes of the previous clip's last usable frame.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "pelk_utils/annotation/clip_loader.hpp"
#include "pelk_utils/core/mask.hpp"
#include "pelk_utils/models/image_predictor.hpp"

namespace pelk {

struct MatchResult {
  std::optional<std::vector<Mask>> masks;          // one per prompted box, frame size
  std::optional<std::vector<std::string>> OBJECTS;  // "pig" per mask
  std::optional<std::vector<std::string>> keep_box;  // Box0..Box9 without the removed keys
  FrameRecord* best_laste_frame = nullptr;          // into the caller's data
  bool no_best_laste_frame = true;
};

// Chooses the previous clip's last usable frame (find_best_laste_frame with
// `min_area`, `max_attempts` and `remove_stack_box`, whose keys leave every
// frame of `laste_frame`), prompts `image_predictor` on the frame
// `frame_names[ann_frame_idx]` (negative counts from the end; read as BGR and
// handed over as RGB) with that frame's mask boxes (inclusive pixel
// indices) in one predict call, and accepts the new masks when every
// intersections-table cell is at most 10 percent, their count equals the
// previous frame's and every area is at least `min_area`. `display_func`,
// when given, receives img_bbx_drawing (BGRA) of the previous frame's masks
// over the new frame. Prints "ann_frame_idx [i] works for mask finding!!!"
// on success, "ann_frame_idx [i] cannot work.." and an empty line on
// failure, and "Issue is from the laste frame, not enough masks found." when
// no previous frame qualifies; failures return nulls and the flag true.
// Throws std::invalid_argument when a predictor is needed and none is given,
// std::out_of_range for an index outside `frame_names`, std::runtime_error
// for an unreadable frame.
MatchResult matcher(ClipAnnotationData& laste_frame, const std::vector<std::string>& frame_names, int ann_frame_idx = 0,
                    ImagePredictor* image_predictor = nullptr,
                    const std::optional<std::vector<std::optional<std::string>>>& remove_stack_box = std::nullopt,
                    int min_area = 10, int max_attempts = 10,
                    const std::function<void(const cv::Mat&)>& display_func = nullptr);

// Returns, per carried mask, whether it lies on an animal the detector found
// in the new frame: at least `min_share` of its pixels inside one of
// `detections` (x_min, y_min, x_max, y_max, frame pixels). An empty mask lies
// on nothing. A carried mask on nothing is an animal that left the view (or
// a segmenter that answered a box with background): not to be carried.
std::vector<bool> masks_on_detections(const std::vector<Mask>& masks, const std::vector<Box>& detections,
                                      double min_share = 0.5);

}  // namespace pelk

// Clip initializer: finds, near the start of a new clip, a frame on which
// exactly the expected number of animals can be told apart, and returns
// their masks (named Box0, Box1, ... top to bottom). Each examined frame is
// detected, filtered to the pen and to plausible sizes, segmented, and
// cleared of detections stacked on others.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "pelk_utils/core/intersections_table.hpp"
#include "pelk_utils/core/mask.hpp"
#include "pelk_utils/models/detection_model.hpp"
#include "pelk_utils/models/image_predictor.hpp"

namespace pelk {

struct InitializedClip {
  std::vector<Mask> masks;               // kept masks, in kept order
  IntersectionsTable intersections_df;   // all segmented boxes, before stacked ones were dropped
  int ann_frame_idx = 0;                 // index into frame_names of the accepted frame
  cv::Mat annotated_frame;               // CV_8UC4 BGRA: kept masks, boxes and keys drawn
};

// In-pen threshold (percent of a box's area), size limits (square pixels,
// exclusive, by whether the box's top lies above half the frame height) and
// stacking threshold (percent of a mask covered, exclusive).
inline constexpr double kInPenRatio = 40;
inline constexpr double kUpperAreaLimit = 1500000;
inline constexpr double kLowerAreaLimit = 4000000;
inline constexpr double kStackingPercent = 8;

// Examines frames start_index, start_index + step, ... of `frame_names` and
// returns the first one on which exactly `close_set_num` boxes survive, or
// std::nullopt when none does. Prints one line per decision (see core/output.hpp).
// When no box survives the pen and size filters, the segmenter is not called
// for that frame (there is nothing to prompt it with) and the frame takes the
// too-few branch. Throws std::invalid_argument for a step or start_index
// below 1 or 0, std::runtime_error for a frame that cannot be read and when
// no pen-polygon file is known at the first frame with detections, and
// std::invalid_argument when the segmenter returns a mask count or size that
// breaks its contract. Model errors pass through.
std::optional<InitializedClip> initializer(const std::string& video_dir, const std::vector<std::string>& frame_names,
                                           DetectionProcessor& processor, GroundingModel& grounding_model,
                                           const Device& device, ImagePredictor& image_predictor,
                                           int start_index = 0, int step = 10, double gdino_thr = 0.25,
                                           int close_set_num = 10,
                                           const std::optional<std::string>& custom_pen_json_path = std::nullopt);

}  // namespace pelk

// The evidence room of the identity repair and the day chain: which frames
// show some animals apart, where each animal was and was heading, and the
// cues' costs of an assignment of animals after an event to those before.
// Shared by the episode decision and the boundary decision; not public API.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "pelk_utils/annotation/clip_loader.hpp"
#include "pelk_utils/matching/identity_repair.hpp"
#include "pelk_utils/models/image_predictor.hpp"

namespace pelk::internal {

// Each box's usual mask area: its median over the clip.
using UsualAreas = std::map<std::string, double>;

UsualAreas usual_areas(const ClipAnnotationData& clip);

// Percent of the smaller-covered of the two masks that the other covers.
double overlap_percent(const FrameRecord& r, const std::string& a, const std::string& b);
bool both_present(const FrameRecord& r, const std::string& a, const std::string& b);
bool present(const FrameRecord& r, const std::string& box);

// Whether every box of `seen` is present in `r` and covers no other box of
// `boxes` present there (nor is covered by it) by more than `thrr` percent.
bool all_apart(const FrameRecord& r, const std::vector<std::string>& seen, const std::vector<std::string>& boxes,
               double thrr);

// Returns up to `count` frame keys from `from` in steps of `step` where the
// `seen` boxes are present and apart from every box of `boxes`, within
// `limit` steps, nearest first.
std::vector<int> apart_frames(const ClipAnnotationData& clip, const std::vector<std::string>& seen,
                              const std::vector<std::string>& boxes, int from, int step, int limit, int count,
                              double thrr);

// As apart_frames, with every box of `boxes` seen.
std::vector<int> clear_frames(const ClipAnnotationData& clip, const std::vector<std::string>& boxes, int from, int step,
                              int limit, int count, double thrr);

// A mask's centroid in frame pixels (the mask must not be empty).
cv::Point2d centroid(const Mask& m);

// The velocity of `box` at frame `at` (pixels per frame) from the farthest
// frame within `frames` steps of `step` where it is present; 0 when none.
cv::Point2d velocity(const ClipAnnotationData& clip, const std::string& box, int at, int step, int frames);

// The position of `box` in `boxes`; boxes.size() when it is not there.
std::size_t index_of(const std::vector<std::string>& boxes, const std::string& box);

// Exchanges the masks of two boxes in every frame after `after_key`.
void swap_boxes(ClipAnnotationData& clip, const std::string& a, const std::string& b, int after_key);

// 0, 1, ..., n - 1.
std::vector<int> identity(std::size_t n);

// What the cues see of some animals on both sides of an event: their
// appearance in every compared frame, where each was and where each was
// heading. Before it every animal is seen, after it the `seen` ones (all,
// unless some have not come out of a pile). Costs of any assignment come
// from it without new model calls.
struct Evidence {
  std::vector<cv::Mat1d> cosines;  // per (before, after) frame pair: seen after x before
  std::vector<cv::Point2d> p, ahead;   // per animal before
  std::vector<cv::Point2d> q, behind;  // per seen box after
  double scale = 1;                // the animals' size (square root of the mean area)
};

// Gathers the evidence on `boxes` at the frames `before` (nearest first) and
// on `seen` (a subset of `boxes`, in its own order) at `after`. Image paths
// of the frames used for appearance must be readable.
Evidence gather(const ClipAnnotationData& clip, const std::vector<std::string>& boxes, const std::vector<std::string>& seen,
                const std::vector<int>& before, const std::vector<int>& after, ImagePredictor& predictor,
                const UsualAreas& usual, const RepairSettings& s);

// The cues' costs of an assignment.
struct Costs3 {
  double appearance = 0, position = 0, heading = 0;
  double total() const { return appearance + position + heading; }
};

// Returns the costs of an assignment: from[j] is the animal before taken for
// the j-th seen box after.
Costs3 costs_of(const Evidence& ev, const std::vector<int>& from);

}  // namespace pelk::internal

// Tracking measures against truth: how well a tracked clip keeps each
// animal's identity, in the field's standard measures (HOTA with DetA, AssA
// and LocA; CLEAR MOT's MOTA, MOTP and identity switches; IDF1 with ID
// precision and recall), counted as the standard evaluation code counts
// them, plus a per-identity table. Tracked and truth frames are paired by
// frame number; objects by mask IoU, or box IoU when a side has only boxes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pelk_utils/annotation/clip_loader.hpp"
#include "pelk_utils/quality/hota.hpp"
#include "pelk_utils/quality/track_set.hpp"

namespace pelk {

// One truth identity's record over the clip.
struct IdentityRecord {
  std::string truth_box;            // truth box key
  std::int64_t frames = 0;          // frames in which the animal is in the truth (non-empty mask)
  std::int64_t tracked = 0;         // frames in which a tracked mask matched it
  std::int64_t own_identity = 0;    // of those, under the tracked key IDF1 gives it
  std::string assigned_box;         // that tracked key ("" when none)
  std::int64_t other_identity = 0;  // frames matched under another tracked key
  std::string most_other_box;       // the most frequent other key ("" when none)
  // The first identity switch: the frame key at which the animal, matched
  // under `switched_from` before, was matched under `switched_to`.
  std::optional<std::int64_t> first_switch_frame;
  std::string switched_from, switched_to;
  // Its share of the IDF1 counts: frames it is covered by `assigned_box`
  // (IDTP), its frames not covered so (IDFN), and the frames of
  // `assigned_box` that do not cover it (IDFP). Summed over all identities
  // and the unpaired tracked keys they give the clip's IDTP, IDFN, IDFP.
  std::int64_t idtp = 0, idfn = 0, idfp = 0;
};

// A tracked key that IDF1 pairs with no truth identity: all its frames are
// identity false positives.
struct UnpairedTrackedKey {
  std::string box;
  std::int64_t frames = 0;
};

// Ratios with nothing to average over (no truth, no matches) are NaN.
struct TrackingMeasures {
  std::int64_t frames = 0;           // frames of either side
  std::int64_t missing_frames = 0;   // truth frames with no tracked frame: their truth masks are misses
  std::int64_t extra_frames = 0;     // tracked frames with no truth frame: their masks are false positives
  std::int64_t on_distractors = 0;   // tracked boxes not counted: matched to a distractor of the truth
  std::int64_t truth_objects = 0;    // truth masks over all frames (GT)
  std::int64_t tracked_objects = 0;  // tracked masks over all frames
  std::int64_t matches = 0;          // per-frame matches (IoU >= threshold)
  std::int64_t misses = 0;           // truth masks without a match (FN)
  std::int64_t false_positives = 0;  // tracked masks without a match (FP)
  std::int64_t id_switches = 0;      // matches whose tracked key differs from the truth's previous match
  double mota = 0;                   // 1 - (FN + FP + IDSW) / GT
  double idf1 = 0, id_precision = 0, id_recall = 0;
  std::int64_t idtp = 0, idfp = 0, idfn = 0;
  double mean_iou = 0;               // MOTP: mean IoU over per-frame matches
  HotaMeasures hota;                 // HOTA, DetA, AssA, LocA
  bool box_iou = false;              // objects met by box IoU (a side had only boxes)
  std::int64_t truth_ids = 0, tracked_ids = 0;
  std::vector<IdentityRecord> identities;  // truth keys in order of first appearance
  std::vector<UnpairedTrackedKey> unpaired_tracked;  // in order of first appearance
};

// Returns the intersection over union of two masks (0 when both are empty).
double mask_iou(const Mask& a, const Mask& b);

// Returns the assignment of rows to columns that maximises the total of
// `score` over pairs with score >= `minimum`; result[r] is the column of
// row r or -1. Ties (best assignments of equal total, as equal scores give
// them): each row in turn takes the earliest column it can, so the earlier
// row (truth box, in the frame's order) gets a column two rows score alike;
// a row is left without one only when every best assignment leaves it out.
// The standard evaluation code leaves ties to its solver; this rule is the
// one trying every assignment in order finds.
std::vector<int> best_assignment(const std::vector<std::vector<double>>& score, double minimum);

struct EvaluationOptions {
  double iou_threshold = 0.5;        // CLEAR MOT and IDF1 matches need IoU >= this
  bool require_same_frames = false;  // refuse a frame on one side only
  std::int64_t frame_offset = 0;     // added to the tracked side's frame numbers
};

// Returns the IoU of two continuous boxes as the standard evaluation code
// computes it: areas w x h, 0 when either area or the union is not positive.
double box_iou(const ContinuousBox& a, const ContinuousBox& b);

// Measures `tracked` against `truth`, whatever their sources: mask IoU when
// both sides have a mask for every object, else box IoU (masks give their
// boxes). Frames: the union of both sides'. CLEAR MOT as the standard tools
// count it: a truth id matched in the previous frame (the last frame where
// both sides had objects) keeps its tracked id while their IoU passes the
// threshold; the rest are matched by optimal assignment on IoU; an identity
// switch is a match whose tracked id differs from the one last matched to
// that truth id in any earlier frame. IDF1 by one global one-to-one pairing
// of ids; HOTA as hota_measures. Throws std::invalid_argument as
// evaluate_tracking when `require_same_frames` and a frame is on one side only.
TrackingMeasures evaluate_tracks(const TrackSet& tracked, const TrackSet& truth, const EvaluationOptions& options = {});

// Measures `tracked` against `truth`. Frames are paired by frame_index; a
// frame on one side only counts as a frame with no masks on the other (a
// tracker that wrote nothing for a frame missed its animals), unless
// `require_same_frames` asks for std::invalid_argument naming the first such
// frame. Empty masks do not count. Per
// frame (as CLEAR MOT does), a truth mask keeps the tracked key it was
// matched with in the previous frame while their mask IoU reaches `iou_threshold`; the others are
// matched by optimal assignment on mask IoU, a match needing IoU >=
// `iou_threshold`. An identity switch is a match whose tracked key differs
// from the truth's previous match. IDF1
// pairs each truth key with at most one tracked key over the whole clip so
// that the frames both keys cover with IoU >= `iou_threshold` are most.
TrackingMeasures evaluate_tracking(const ClipAnnotationData& tracked, const ClipAnnotationData& truth,
                                   double iou_threshold = 0.5, bool require_same_frames = false);

}  // namespace pelk

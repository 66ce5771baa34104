// Overlap frame resolution: when two animals' masks lie on top of each other
// for several frames the tracker may swap identities. This finds where the
// episode begins and votes, over up to five frames on one side of it, for
// the box whose mask, box and appearance change most against a reference
// frame on the other side: the box most likely carrying the error.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "pelk_utils/annotation/clip_loader.hpp"
#include "pelk_utils/core/box.hpp"
#include "pelk_utils/models/image_predictor.hpp"
#include "pelk_utils/quality/frame_runs.hpp"
#include "pelk_utils/quality/report_row.hpp"

namespace pelk {

// The mismatch scores of one compared frame, one per test box.
struct FrameMismatch {
  int frame = 0;                       // the compared frame key m
  std::vector<double> mismatch_scores;  // in test_boxes order; +inf without a feature
};

struct OverlapResolution {
  std::optional<int> test_frame;                 // frame key where the examined episode begins
  std::optional<std::string> most_frequent_box;  // the box voted as carrying the error
  FrameRuns con_frames_dict;                     // "Box Pair" runs used
  std::vector<std::string> worst_boxes;          // worst box per compared frame, in frame order
  // For review (beyond the four results): the boxes compared, in plain
  // character order, the reference frame, and each compared frame's scores.
  std::vector<std::string> test_boxes;
  std::optional<std::int64_t> reference_frame;  // 64 bits: test_frame + 1 may pass the int range
  std::vector<FrameMismatch> frame_scores;
};

// Returns the intersection over union of two boxes (edge coordinates, no
// one-pixel widening) with 1e-06 added to the union.
double bb_iou(const Box& boxA, const Box& boxB);

// Returns the most frequent entry of `entries`; among equal counts the one
// that entered the list first. Throws std::invalid_argument when empty.
std::string most_frequent_entry(const std::vector<std::string>& entries);

// Runs the resolution on the high-overlap rows of a tracking report
// ("Frame ID", "Box Pair") and the same clip's data (frame key -> record with
// every test box in masks_dict and a readable image_path). Runs of at least
// `n_consecutive` frames per pair (+ 2 when the table holds more than one
// pair value); per pair the first frame with one and with several overlap
// rows (the last ones, and reverse tracking, when the episode touches frame
// 0); test_frame is the smallest of them. Compares, per box of the sorted
// pair keys, frames test_frame - 5 .. - 1 against test_frame + 1 (reverse:
// test_frame .. + 4 against test_frame - 1), skipping frames outside the
// clip: mismatch = (1 - cosine of region features) + (1 - mask IoU) +
// (1 - box IoU), +inf without a feature. Prints the lines of each step.
// With no recorded first frame, or every compared frame skipped, prints a
// line saying so and leaves test_frame or most_frequent_box null.
OverlapResolution process_overlap_frames(const std::vector<ReportRow>& overlap_frames_dataframe,
                                         const ClipAnnotationData& pelk_annotation_data,
                                         ImagePredictor& image_predictor, int n_consecutive = 2);

}  // namespace pelk

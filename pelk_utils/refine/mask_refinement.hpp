// Mask refinement: a tracked mask often holds stray pieces (a neighbour's
// flank, a reflection). This reduces each mask to the blob that belongs to
// the animal, chosen by size and, once the animal has a history, by where it
// was last seen, plus the blobs that are big and close enough to it; the
// cleaning pass runs it over a whole tracked clip, in place.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "pelk_utils/core/mask.hpp"
#include "pelk_utils/core/ordered_map.hpp"

namespace pelk {

// Frame index -> object id -> mask, in processing order; the first key is
// the clip's first frame.
using TrackedClip = OrderedMap<int, OrderedMap<int, Mask>>;

// Object id -> last centroid (x, y) in frame pixels.
using CentroidHistory = std::map<int, cv::Point2d>;

// The labelling of one mask and the thresholds derived from its main blob.
// The labelling covers `window` only: the mask's rectangle padded by one
// pixel and clipped to the frame, so its cost follows the mask's size.
struct MainBlob {
  int num_labels = 0;             // labels including the background 0
  cv::Mat stats;                  // CV_32S, cv::connectedComponentsWithStats rows (left/top within `window`)
  cv::Mat centroids;              // CV_64F rows (x, y) in frame pixels
  double min_area_threshold = 0;  // main area * MIN_AREA_RATIO
  double max_distance_threshold = 0;
  int best_idx = 0;               // label of the main blob
  cv::Mat labels;                 // CV_32S label image of `window`
  cv::Rect window;                // where `labels` lies on the frame (exclusive bottom-right)
};

class Mask_Refinement {
 public:
  // Stores the settings; the history starts empty. `max_distance_ratios`
  // holds the distance-limit factors for main blobs of >= 1000 and of fewer
  // pixels; it is copied (C++ has no shared mutable default list).
  explicit Mask_Refinement(double min_area_ratio = 0.3, std::vector<double> max_distance_ratios = {0.5, 1.5},
                           double max_prev_dist = 200, std::string custom_pen_json_path = "pen_polygon.json");

  // Returns the smallest distance in pixels between the vertices of the
  // external contours (simple chain approximation) of two CV_8UC1 0/1 masks
  // of equal size, or +inf when either has no contour.
  static double blob_shortest_distance(const cv::Mat& blob_mask1, const cv::Mat& blob_mask2);

  // Labels the components of `mask` (8-connectivity) and chooses the main
  // blob: the largest, or, with a history for `object_id`, the one of the five
  // largest whose centroid is nearest to it (earlier candidate on ties).
  // Throws std::invalid_argument for an empty mask.
  MainBlob get_main_blob(const Mask& mask, const CentroidHistory& prev_centroids, int object_id) const;

  // Returns the cleaned mask: every label within MAX_PREV_DIST of the last
  // centroid (any label without a history) that is the main blob, or has at
  // least `min_area_threshold` pixels and lies within
  // `max_distance_threshold` of the main blob (blob_shortest_distance);
  // equality included. When nothing is kept: on the clip's first frame (the
  // first key of `video_segments`) the incoming `mask`, otherwise an empty
  // mask and the line "clean frame<frame_idx>--obj_id<object_id>".
  // `labels` lies at `labels_window` on the frame (an empty rectangle means
  // at (0, 0)); `centroids` are in frame pixels.
  Mask get_dis_to_main_and_prev_blob(int num_labels, const cv::Mat& labels, const cv::Mat& stats,
                                     const cv::Mat& centroids, double max_distance_threshold,
                                     double min_area_threshold, int best_idx, const CentroidHistory& prev_centroids,
                                     int object_id, int frame_idx, const Mask& mask, const TrackedClip& video_segments,
                                     const cv::Rect& labels_window = {}) const;

  // Cleans every mask of `video_segments` in place, frame by frame in the
  // clip's order: clears it outside the pen polygon (get_pen_json_path with
  // custom_pen_json_path, then get_in_pen_mask, read afresh per mask), keeps
  // its main blob and the blobs that belong with it, and records the cleaned
  // mask's centroid in prev_centroids ("frame <f>--obj_id<id>-- no mask" when
  // nothing is left). Empty masks and masks wholly outside the pen are stored
  // without messages. Returns `video_segments`. Throws what the pen lookup
  // throws (std::invalid_argument when no pen file is named).
  TrackedClip& process_video_segments(TrackedClip& video_segments, const std::string& video_dir,
                                      const std::vector<std::string>& frame_names);

  double MIN_AREA_RATIO;
  std::vector<double> MAX_DISTANCE_RATIOS;
  double MAX_PREV_DIST;
  CentroidHistory prev_centroids;
  std::string custom_pen_json_path;
};

// Puts the mask of object `object_id` in frame `frame_idx` of
// `video_segments` into the current figure (viridis colours, 0 dark, 1
// bright) without presenting it. Throws std::out_of_range for a missing key.
void video_segments_mask_visual(const TrackedClip& video_segments, int frame_idx, int object_id);

}  // namespace pelk

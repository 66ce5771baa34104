// A simple stand-in for the caller's tracker, used by the command line and
// the demo: every frame is segmented with each object's box from the
// previous frame. Objects whose mask vanished, or that share their mask with
// another object (one animal lying on another), are re-acquired from fresh
// detections that no mask covers, by nearness to where each object was last
// seen on its own. Good enough for clean pens and the synthetic scene; a
// real tracker (e.g. SAM 2's video predictor) does far better.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "pelk_utils/core/mask.hpp"
#include "pelk_utils/models/detection_model.hpp"
#include "pelk_utils/models/image_predictor.hpp"

namespace pelk {

struct BoxTrackerSettings {
  int box_margin_px = 8;            // the previous box grows by this much before prompting
  double stacked_percent = 50;      // masks covering each other by more share an animal
  double reacquire_distance_px = 400;  // farthest a lost object may be re-acquired from its last place
  double text_threshold = 0.25;
};

class BoxPropagationTracker {
 public:
  // Starts from `initial` masks (one per object, identity order). The
  // detector is optional; without it lost objects stay lost.
  BoxPropagationTracker(ImagePredictor& predictor, std::vector<Mask> initial,
                        DetectionProcessor* processor = nullptr, GroundingModel* model = nullptr,
                        BoxTrackerSettings settings = {});

  // Segments `image_bgr` (CV_8UC3) and returns one mask per object, in
  // identity order (empty where the object was not found).
  std::vector<Mask> track(const cv::Mat& image_bgr);

 private:
  struct Object {
    Mask mask;
    std::optional<Box> last_box;    // of the last non-empty mask
    cv::Point2d anchor{-1e9, -1e9};  // centroid when last seen on its own
  };
  void reacquire(const cv::Mat& rgb, const std::vector<bool>& needs);

  ImagePredictor& predictor_;
  DetectionProcessor* processor_;
  GroundingModel* model_;
  BoxTrackerSettings settings_;
  std::vector<Object> objects_;
};

}  // namespace pelk

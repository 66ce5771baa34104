// A built-in box detector for top-down views of light animals on a darker
// floor, behind the detector interfaces, so every operation that needs a
// detector runs without downloaded weights.
//
// How: the frame is turned grey and blurred, thresholded (Otsu), opened and
// closed, and split into connected components; components of plausible
// animal size become "pig" boxes, scored 0..1 from their contrast with the
// floor and their compactness (area over box area).
// Suits: fixed overhead cameras, animals clearly lighter than the floor,
// animals apart from each other (the synthetic pen scene, clean pens).
// Fails: animals touching each other come out as one box; a bright floor, a
// strong light patch or a dark animal breaks the threshold; animals cut by
// a beam come out as two boxes.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "pelk_utils/models/detection_model.hpp"

namespace pelk {

struct ClassicalDetectorSettings {
  double box_threshold = 0.35;       // boxes scoring below are dropped
  double min_area_fraction = 0.002;  // of the frame area: smaller blobs are not animals
  double max_area_fraction = 0.08;   // larger blobs (a wall, a marker strip) are not animals
  double max_aspect = 6;             // longer side over shorter side
  int blur_sigma_px = 2;
};

// Both interfaces in one object: the processor prepares the frame, the model
// runs the detection, post-processing turns it into boxes.
class ClassicalDetector : public DetectionProcessor, public GroundingModel {
 public:
  explicit ClassicalDetector(ClassicalDetectorSettings settings = {});

  // Keeps `image_rgb` (CV_8UC3 RGB) and the phrases of `text` ("pig." ->
  // {"pig"}; phrases split at '.', trimmed, lower-cased).
  std::unique_ptr<ModelInputs> operator()(const cv::Mat& image_rgb, const std::string& text) override;
  // Detects on the prepared frame.
  std::unique_ptr<ModelOutputs> operator()(const ModelInputs& inputs) override;
  // Returns the boxes labelled "pig" whose score reaches the box threshold
  // and whose phrase match (1 for "pig", else none) exceeds
  // `text_threshold`; a prompt without the phrase "pig" yields nothing.
  // Boxes are (x_min, y_min, x_max, y_max) in pixels, exclusive max.
  std::vector<DetectionResult> post_process_grounded_object_detection(
      const ModelOutputs& outputs, const InputIds& input_ids, double text_threshold,
      const std::vector<std::pair<int, int>>& target_sizes) override;

  // Returns the detections of `image_rgb` for the prompt "pig." in one call.
  DetectionResult detect(const cv::Mat& image_rgb, double text_threshold = 0.25);

  const ClassicalDetectorSettings& settings() const { return settings_; }

 private:
  ClassicalDetectorSettings settings_;
};

// Returns the foreground of a frame as the detector sees it: grey (from
// RGB), Gaussian blur, Otsu threshold, opening and closing; CV_8UC1 0/255.
cv::Mat1b light_foreground(const cv::Mat& image_rgb, int blur_sigma_px);

}  // namespace pelk

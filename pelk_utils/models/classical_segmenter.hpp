// A built-in box-prompted segmenter behind the image predictor interface,
// for the same scenes as the built-in detector, and a built-in image encoder,
// so that every operation taking a segmenter runs without downloaded
// weights.
//
// How: set_image thresholds the frame once (as the built-in detector does);
// predict takes, per box, the largest light component inside the box (with
// a small margin) and fills its holes (dark markings).
// Suits: light animals on a darker floor, one animal per box.
// Fails: two animals lying on each other give both boxes the joint blob; a
// floor brighter than the animals; animals that touch the box's neighbour.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "pelk_utils/models/image_predictor.hpp"

namespace pelk {

class BuiltinImageEncoder;

struct ClassicalSegmenterSettings {
  int box_margin_px = 4;  // the search window reaches this far beyond each box
  int blur_sigma_px = 2;
};

class ClassicalSegmenter : public ImagePredictor {
 public:
  explicit ClassicalSegmenter(ClassicalSegmenterSettings settings = {});
  ~ClassicalSegmenter() override;

  // Keeps `image_rgb` (CV_8UC3 RGB) and its light foreground.
  void set_image(const cv::Mat& image_rgb) override;
  // Returns one frame-size CV_8UC1 0/1 mask per box (three per box with
  // `multimask_output`: the filled largest component, all light pixels in
  // the box, the component eroded by 2 px), scores (the share of the box
  // the mask fills) and 64 x 64 CV_32F logits (+8 inside, -8 outside).
  // Point prompts are not supported and throw std::invalid_argument.
  // Throws std::logic_error before any set_image.
  Prediction predict(const std::optional<std::vector<cv::Point2f>>& point_coords,
                     const std::optional<std::vector<int>>& point_labels, const std::vector<Box>& box,
                     bool multimask_output) override;
  // Returns the built-in encoder.
  ImageEncoder& image_encoder() override;

 private:
  ClassicalSegmenterSettings settings_;
  cv::Mat1b foreground_;
  std::unique_ptr<BuiltinImageEncoder> encoder_;
};

}  // namespace pelk

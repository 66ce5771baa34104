// The box-promptable segmenter, as the library sees it (e.g. a SAM 2 image
// predictor): set a frame, then prompt it with boxes to get one full-frame
// mask per box. The caller implements this around its own model.
#pragma once

#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "pelk_utils/core/box.hpp"

namespace pelk {

class ImageEncoder;  // pelk_utils/models/image_encoder.hpp (needs libtorch)

struct Prediction {
  // One mask per box prompt, in prompt order: single-channel, any depth,
  // frame size (H x W), non-zero = inside.
  std::vector<cv::Mat> masks;
  std::vector<float> scores;   // one quality score per mask
  std::vector<cv::Mat> logits; // low-resolution logits per mask; passed through
};

class ImagePredictor {
 public:
  virtual ~ImagePredictor() = default;
  // Makes `image_rgb` (CV_8UC3, RGB order, H x W) the current image.
  virtual void set_image(const cv::Mat& image_rgb) = 0;
  // Segments the current image. The library passes no points, one box per
  // object (x_min, y_min, x_max, y_max, pixels) and multimask_output false,
  // and relies on exactly one frame-size mask per box, in box order.
  virtual Prediction predict(const std::optional<std::vector<cv::Point2f>>& point_coords,
                             const std::optional<std::vector<int>>& point_labels, const std::vector<Box>& box,
                             bool multimask_output) = 0;
  // Returns the model's image encoder.
  virtual ImageEncoder& image_encoder() = 0;
};

}  // namespace pelk

// The open-vocabulary box detector, as the library sees it: a processor that
// turns an RGB frame and a text prompt into model inputs and turns the
// model's outputs back into boxes, and the model that runs in between.
// The caller implements these around its own detector (e.g. Grounding DINO);
// the library calls them only from the clip initializer.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "pelk_utils/core/box.hpp"

namespace pelk {

// A compute device name such as "cpu" or "cuda:0"; passed through untouched.
using Device = std::string;

// The detections of one image. All three vectors have one entry per
// detection, in the model's order.
struct DetectionResult {
  std::vector<float> scores;         // detection confidences
  std::vector<std::string> labels;   // matched phrase of the prompt, e.g. "pig"
  std::vector<Box> boxes;            // x_min, y_min, x_max, y_max in frame pixels
};

// The prompt's token ids, as the processor produced them. Opaque to the
// library: it hands them back to the processor at post-processing.
class InputIds {
 public:
  virtual ~InputIds() = default;
};

// Prepared model inputs. The library calls to(device) once, then passes the
// inputs to the model and their input_ids() to post-processing.
class ModelInputs {
 public:
  virtual ~ModelInputs() = default;
  // Moves the inputs to `device`.
  virtual void to(const Device& device) = 0;
  // Returns the prompt's token ids.
  virtual const InputIds& input_ids() const = 0;
};

// Raw model outputs; opaque to the library.
class ModelOutputs {
 public:
  virtual ~ModelOutputs() = default;
};

class DetectionProcessor {
 public:
  virtual ~DetectionProcessor() = default;
  // Prepares inputs from `image_rgb` (CV_8UC3, RGB order, H x W) and `text`
  // (the library passes "pig.").
  virtual std::unique_ptr<ModelInputs> operator()(const cv::Mat& image_rgb, const std::string& text) = 0;
  // Turns `outputs` into one result per image. `target_sizes` holds one
  // (height, width) per image; boxes come back in those pixels. No box-score
  // threshold is passed: the processor's own default applies.
  virtual std::vector<DetectionResult> post_process_grounded_object_detection(
      const ModelOutputs& outputs, const InputIds& input_ids, double text_threshold,
      const std::vector<std::pair<int, int>>& target_sizes) = 0;
};

class GroundingModel {
 public:
  virtual ~GroundingModel() = default;
  // Runs the detector on `inputs`; implementations run without gradients.
  virtual std::unique_ptr<ModelOutputs> operator()(const ModelInputs& inputs) = 0;
};

}  // namespace pelk

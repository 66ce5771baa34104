// Adapters that let Python model objects stand where the library takes its
// model interfaces: a Grounding-DINO-style processor and model pair, and a
// SAM-2-style image predictor (set_image, predict, model.image_encoder).
// Each call takes the GIL and goes through pelk_utils._bridge, which speaks
// the models' own call shapes and turns tensors into arrays and back.
// Exceptions raised by a model pass through unchanged.
#pragma once

#include <pybind11/pybind11.h>

#include "pelk_utils/models/detection_model.hpp"
#include "pelk_utils/models/image_predictor.hpp"

namespace pelk::python {

namespace py = pybind11;

// A Python processor (`processor(images=..., text=..., return_tensors="pt")`
// and `post_process_grounded_object_detection(...)`).
class PyDetectionProcessor : public DetectionProcessor {
 public:
  explicit PyDetectionProcessor(py::object processor) : processor_(std::move(processor)) {}
  std::unique_ptr<ModelInputs> operator()(const cv::Mat& image_rgb, const std::string& text) override;
  std::vector<DetectionResult> post_process_grounded_object_detection(
      const ModelOutputs& outputs, const InputIds& input_ids, double text_threshold,
      const std::vector<std::pair<int, int>>& target_sizes) override;

 private:
  py::object processor_;
};

// A Python detection model, called as `model(**inputs)` without gradients.
class PyGroundingModel : public GroundingModel {
 public:
  explicit PyGroundingModel(py::object model) : model_(std::move(model)) {}
  std::unique_ptr<ModelOutputs> operator()(const ModelInputs& inputs) override;

 private:
  py::object model_;
};

// A Python image predictor. Its encoder needs libtorch, which this half of
// the package does not load: operations that encode regions use
// PyEncodingPredictor (py_encoder.hpp) instead.
class PyImagePredictor : public ImagePredictor {
 public:
  explicit PyImagePredictor(py::object predictor) : predictor_(std::move(predictor)) {}
  void set_image(const cv::Mat& image_rgb) override;
  Prediction predict(const std::optional<std::vector<cv::Point2f>>& point_coords,
                     const std::optional<std::vector<int>>& point_labels, const std::vector<Box>& box,
                     bool multimask_output) override;
  // Throws std::logic_error: no operation of this half encodes regions.
  ImageEncoder& image_encoder() override;

 protected:
  py::object predictor_;
};

}  // namespace pelk::python

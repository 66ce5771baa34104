#include "py_models.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "convert.hpp"

namespace pelk::python {

namespace {

py::module_ bridge() { return py::module_::import("pelk_utils._bridge"); }

// Inputs prepared by a Python processor, already moved to the device.
class PyInputIds : public InputIds {
 public:
  py::object ids;
};

class PyModelInputs : public ModelInputs {
 public:
  explicit PyModelInputs(py::object inputs) : inputs_(std::move(inputs)) { refresh_ids(); }
  ~PyModelInputs() override {
    py::gil_scoped_acquire gil;
    inputs_ = py::object();
    ids_.ids = py::object();
  }
  void to(const Device& device) override {
    py::gil_scoped_acquire gil;
    inputs_ = bridge().attr("to_device")(inputs_, device);
    refresh_ids();
  }
  const InputIds& input_ids() const override { return ids_; }
  const py::object& inputs() const { return inputs_; }

 private:
  void refresh_ids() { ids_.ids = bridge().attr("input_ids")(inputs_); }
  py::object inputs_;
  PyInputIds ids_;
};

class PyModelOutputs : public ModelOutputs {
 public:
  explicit PyModelOutputs(py::object outputs) : outputs(std::move(outputs)) {}
  ~PyModelOutputs() override {
    py::gil_scoped_acquire gil;
    outputs = py::object();
  }
  py::object outputs;
};

py::array rgb_array(const cv::Mat& image_rgb) { return array_from_mat(image_rgb); }

}  // namespace

std::unique_ptr<ModelInputs> PyDetectionProcessor::operator()(const cv::Mat& image_rgb, const std::string& text) {
  py::gil_scoped_acquire gil;
  return std::make_unique<PyModelInputs>(bridge().attr("prepare")(processor_, rgb_array(image_rgb), text));
}

std::vector<DetectionResult> PyDetectionProcessor::post_process_grounded_object_detection(
    const ModelOutputs& outputs, const InputIds& input_ids, double text_threshold,
    const std::vector<std::pair<int, int>>& target_sizes) {
  py::gil_scoped_acquire gil;
  const auto& out = dynamic_cast<const PyModelOutputs&>(outputs);
  const auto& ids = dynamic_cast<const PyInputIds&>(input_ids);
  py::list sizes;
  for (const auto& [h, w] : target_sizes) sizes.append(py::make_tuple(h, w));
  const py::list results = bridge().attr("post_process")(processor_, out.outputs, ids.ids, text_threshold, sizes);
  std::vector<DetectionResult> converted;
  for (const py::handle item : results) {
    const auto triple = item.cast<py::tuple>();
    DetectionResult r;
    r.scores = triple[0].cast<std::vector<float>>();
    r.labels = triple[1].cast<std::vector<std::string>>();
    const auto boxes = triple[2].cast<py::array_t<double, py::array::c_style>>();
    for (py::ssize_t i = 0; i < boxes.shape(0); ++i) {
      r.boxes.push_back({boxes.at(i, 0), boxes.at(i, 1), boxes.at(i, 2), boxes.at(i, 3)});
    }
    converted.push_back(std::move(r));
  }
  return converted;
}

std::unique_ptr<ModelOutputs> PyGroundingModel::operator()(const ModelInputs& inputs) {
  py::gil_scoped_acquire gil;
  const auto& in = dynamic_cast<const PyModelInputs&>(inputs);
  return std::make_unique<PyModelOutputs>(bridge().attr("detect")(model_, in.inputs()));
}

ImageEncoder& PyImagePredictor::image_encoder() {
  throw std::logic_error("PyImagePredictor: region encoding runs through PyEncodingPredictor");
}

void PyImagePredictor::set_image(const cv::Mat& image_rgb) {
  py::gil_scoped_acquire gil;
  bridge().attr("set_image")(predictor_, rgb_array(image_rgb));
}

Prediction PyImagePredictor::predict(const std::optional<std::vector<cv::Point2f>>& point_coords,
                                     const std::optional<std::vector<int>>& point_labels,
                                     const std::vector<Box>& box, bool multimask_output) {
  if (point_coords || point_labels) {
    throw std::invalid_argument("predict: point prompts are not passed to Python predictors");
  }
  py::gil_scoped_acquire gil;
  const auto pair = bridge().attr("predict")(predictor_, boxes_array(box), multimask_output).cast<py::tuple>();
  const auto masks = pair[0].cast<py::array_t<std::uint8_t, py::array::c_style>>();
  check_dimensions(masks, "predict's masks");
  Prediction p;
  const int h = static_cast<int>(masks.shape(1)), w = static_cast<int>(masks.shape(2));
  for (py::ssize_t i = 0; i < masks.shape(0); ++i) {
    p.masks.push_back(cv::Mat(h, w, CV_8UC1, const_cast<std::uint8_t*>(masks.data(i, 0, 0))).clone());
  }
  p.scores = pair[1].cast<std::vector<float>>();
  return p;
}

}  // namespace pelk::python

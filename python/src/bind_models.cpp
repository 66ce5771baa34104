// The built-in detector, segmenter and encoder, bound as small cores that
// pelk_utils.models dresses in the call shapes of a Grounding-DINO-style
// processor/model pair and a SAM-2-style image predictor.
#include "convert.hpp"
// (convert.hpp first: it declares the opaque containers)
#include "bindings.hpp"
#include "pelk_utils/models/builtin_encoder.hpp"
#include "pelk_utils/models/classical_detector.hpp"
#include "pelk_utils/models/classical_segmenter.hpp"
#include "py_encoder.hpp"

namespace pelk::python {

namespace {

struct PreparedInputs {
  std::unique_ptr<ModelInputs> inputs;
};
struct DetectorOutputs {
  std::unique_ptr<ModelOutputs> outputs;
};

}  // namespace

void bind_models(py::module_& m) {
  py::class_<PreparedInputs>(m, "_PreparedInputs", "Inputs the built-in detector prepared (opaque).");
  py::class_<DetectorOutputs>(m, "_DetectorOutputs", "Raw outputs of the built-in detector (opaque).");

  py::class_<ClassicalDetector>(m, "_ClassicalDetector", "The built-in light-animal detector (core).")
      .def(py::init([](double box_threshold) {
             ClassicalDetectorSettings s;
             s.box_threshold = box_threshold;
             return std::make_unique<ClassicalDetector>(s);
           }),
           py::arg("box_threshold") = ClassicalDetectorSettings{}.box_threshold)
      .def("prepare", [](ClassicalDetector& d, const py::object& image, const std::string& text) {
             const cv::Mat rgb = image_from_array(image, "images");
             if (rgb.channels() != 3) value_error("images: expected an H x W x 3 RGB image");
             return PreparedInputs{d(rgb, text)};
           }, py::arg("image"), py::arg("text"))
      .def("run", [](ClassicalDetector& d, const PreparedInputs& in) {
             ReleaseGil release;
             return DetectorOutputs{d(*in.inputs)};
           }, py::arg("inputs"))
      .def("post_process", [](ClassicalDetector& d, const DetectorOutputs& out, const PreparedInputs& in,
                              double text_threshold, const std::vector<std::pair<int, int>>& target_sizes) {
             py::list results;
             for (const auto& r : d.post_process_grounded_object_detection(*out.outputs, in.inputs->input_ids(),
                                                                            text_threshold, target_sizes)) {
               results.append(py::make_tuple(py::array_t<float>(r.scores.size(), r.scores.data()), r.labels,
                                             boxes_array(r.boxes)));
             }
             return results;
           }, py::arg("outputs"), py::arg("inputs"), py::arg("text_threshold"), py::arg("target_sizes"));

  py::class_<ClassicalSegmenter>(m, "_ClassicalSegmenter", "The built-in box-prompted segmenter (core).")
      .def(py::init<>())
      .def("set_image", [](ClassicalSegmenter& s, const py::object& image) {
             const cv::Mat rgb = image_from_array(image, "image");
             if (rgb.channels() != 3) value_error("image: expected an H x W x 3 RGB image");
             const InUse guard(&s, "built-in segmenter", InUse::Access::kWrite);
             ReleaseGil release;
             s.set_image(rgb);
           }, py::arg("image"))
      .def("predict", [](ClassicalSegmenter& s, const py::object& box, bool multimask_output) {
             const std::vector<Box> boxes = boxes_from(box, "box");
             Prediction p;
             {
               const InUse guard(&s, "built-in segmenter", InUse::Access::kRead);
               ReleaseGil release;
               p = s.predict(std::nullopt, std::nullopt, boxes, multimask_output);
             }
             const std::size_t per_box = boxes.empty() ? 1 : p.masks.size() / boxes.size();
             py::list masks, logits;
             for (const auto& mask : p.masks) masks.append(array_from_mat(mask).attr("astype")("bool"));
             for (const auto& l : p.logits) logits.append(array_from_mat(l));
             return py::make_tuple(masks, py::array_t<float>(p.scores.size(), p.scores.data()), logits, per_box);
           }, py::arg("box"), py::arg("multimask_output"))
      .def("encode", [](ClassicalSegmenter& s, const py::object& image) {
             const auto tensor = tensor_from_object(image);
             if (!tensor) value_error("image_encoder: expected a 1 x 3 x 256 x 256 tensor, got None");
             std::map<std::string, torch::Tensor> out;
             {
               const InUse guard(&s, "built-in segmenter", InUse::Access::kRead);
               ReleaseGil release;
               torch::NoGradGuard no_grad;
               out = s.image_encoder()(*tensor);
             }
             return object_from_tensor(out.at("vision_features"));
           }, py::arg("image"));
}

}  // namespace pelk::python

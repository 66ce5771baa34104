// The libtorch half of the model adapters: the encoder of a Python
// SAM-2-style predictor and tensor conversions. Only the extension module
// _pelk_torch links these, so importing pelk_utils never loads libtorch.
#pragma once

#include <pybind11/pybind11.h>

#include <map>
#include <optional>
#include <string>

#include "pelk_utils/models/image_encoder.hpp"
#include "py_models.hpp"

namespace pelk::python {

namespace py = pybind11;

// The encoder of a Python predictor: `predictor.model.image_encoder`, fed a
// torch tensor on the device the predictor's model lives on.
class PyImageEncoder : public ImageEncoder {
 public:
  explicit PyImageEncoder(py::object predictor) : predictor_(std::move(predictor)) {}
  std::map<std::string, torch::Tensor> operator()(const torch::Tensor& image) override;

 private:
  py::object predictor_;
};

// A Python image predictor whose encoder the library may call.
class PyEncodingPredictor : public PyImagePredictor {
 public:
  explicit PyEncodingPredictor(py::object predictor) : PyImagePredictor(predictor), encoder_(predictor) {}
  ImageEncoder& image_encoder() override { return encoder_; }

 private:
  PyImageEncoder encoder_;
};

// Returns a C++ CPU float tensor holding a copy of `obj` (a torch tensor or
// anything numpy reads); None gives std::nullopt.
std::optional<torch::Tensor> tensor_from_object(const py::handle& obj);

// Returns `tensor` as a torch tensor when torch is importable, else as a
// numpy array (a copy either way).
py::object object_from_tensor(const torch::Tensor& tensor);

}  // namespace pelk::python

#include "py_encoder.hpp"

#include <pybind11/numpy.h>

namespace pelk::python {

namespace {

py::module_ bridge() { return py::module_::import("pelk_utils._bridge"); }

}  // namespace

std::map<std::string, torch::Tensor> PyImageEncoder::operator()(const torch::Tensor& image) {
  py::gil_scoped_acquire gil;
  const torch::Tensor host = image.to(torch::kCPU).to(torch::kFloat32).contiguous();
  std::vector<py::ssize_t> shape(host.sizes().begin(), host.sizes().end());
  py::array_t<float> array(shape);
  std::copy(host.data_ptr<float>(), host.data_ptr<float>() + host.numel(), array.mutable_data());
  const py::object features = bridge().attr("encode")(predictor_, array);
  return {{"vision_features", *tensor_from_object(features)}};
}


std::optional<torch::Tensor> tensor_from_object(const py::handle& obj) {
  if (obj.is_none()) return std::nullopt;
  const py::object array_like = bridge().attr("to_numpy")(obj);
  const auto array = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(array_like);
  if (!array) throw py::value_error("expected a tensor or an array of numbers");
  std::vector<std::int64_t> sizes(array.shape(), array.shape() + array.ndim());
  return torch::from_blob(const_cast<float*>(array.data()), sizes, torch::kFloat32).clone();
}

py::object object_from_tensor(const torch::Tensor& tensor) {
  const torch::Tensor host = tensor.to(torch::kCPU).to(torch::kFloat32).contiguous();
  std::vector<py::ssize_t> shape(host.sizes().begin(), host.sizes().end());
  py::array_t<float> array(shape);
  std::copy(host.data_ptr<float>(), host.data_ptr<float>() + host.numel(), array.mutable_data());
  return bridge().attr("as_tensor")(array);
}

}  // namespace pelk::python

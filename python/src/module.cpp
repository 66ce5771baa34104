// The extension module pelk_utils._pelk_utils: the library's operations,
// classes and built-in models for Python. The package's __init__ re-exports
// it with the pure-Python helpers.
#include <cerrno>
#include <filesystem>
#include <opencv2/core.hpp>

#include "bindings.hpp"
#include "convert.hpp"

namespace {

namespace py = pybind11;

// Missing keys are KeyError (pybind11 would say IndexError); file-system
// errors are OSError with their errno, so FileNotFoundError where it fits;
// OpenCV failing to allocate (an absurd raster size) is MemoryError.
void translate_errors(std::exception_ptr error) {
  try {
    if (error) std::rethrow_exception(error);
  } catch (const std::filesystem::filesystem_error& e) {
    const int code = e.code().value();
    PyErr_SetObject(PyExc_OSError, py::make_tuple(code, e.what(), e.path1().string()).ptr());
  } catch (const std::out_of_range& e) {
    PyErr_SetString(PyExc_KeyError, e.what());
  } catch (const cv::Exception& e) {
    if (e.code != cv::Error::StsNoMem) throw;
    PyErr_SetString(PyExc_MemoryError, e.what());
  }
}

}  // namespace

PYBIND11_MODULE(_pelk_utils, m) {
  m.doc() = "pelk_utils: following individual pigs through overhead pen videos (C++ core).";
  py::register_exception_translator(&translate_errors);
  using namespace pelk::python;
  bind_core(m);
  bind_models(m);
  bind_detect(m);
  bind_annotation(m);
  bind_quality(m);
  bind_matching(m);
  bind_video(m);
  bind_refine(m);
  bind_analytics(m);
  bind_synth(m);
}

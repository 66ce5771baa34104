// The extension module pelk_utils._pelk_utils: the library's operations and
// classes for Python, without libtorch (the built-in models, region features
// and the overlap resolution are in _pelk_torch, loaded on first use). The
// package's __init__ re-exports both with the pure-Python helpers.
#include "bindings.hpp"
#include "convert.hpp"
#include "hooks.hpp"

PYBIND11_MODULE(_pelk_utils, m) {
  m.doc() = "pelk_utils: following individual pigs through overhead pen videos (C++ core).";
  using namespace pelk::python;
  py::register_exception_translator(&translate_errors);
  m.attr("_pending_interrupts") = py::dict();  // see hooks.cpp
  // Where a thread's progress lines go inside pelk_utils.progress_lines().
  m.attr("_progress") = py::module_::import("threading").attr("local")();
  install_python_hooks();
  bind_core(m);
  bind_detect(m);
  bind_annotation(m);
  bind_quality(m);
  bind_matching(m);
  bind_video(m);
  bind_refine(m);
  bind_analytics(m);
  bind_synth(m);
  bind_repair(m);
  bind_tracks(m);
  refuse_old_pickle_protocols(m);
}

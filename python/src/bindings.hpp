// The binding functions of the extension, one per library folder; the
// module's entry point calls them in dependency order.
#pragma once

#include <pybind11/pybind11.h>

namespace pelk::python {

void bind_core(pybind11::module_& m);
void bind_models(pybind11::module_& m);
void bind_detect(pybind11::module_& m);
void bind_annotation(pybind11::module_& m);
void bind_quality(pybind11::module_& m);
void bind_matching(pybind11::module_& m);
void bind_matching_torch(pybind11::module_& m);
void bind_video(pybind11::module_& m);
void bind_refine(pybind11::module_& m);
void bind_analytics(pybind11::module_& m);
void bind_synth(pybind11::module_& m);
void bind_repair(pybind11::module_& m);
void bind_tracks(pybind11::module_& m);

}  // namespace pelk::python

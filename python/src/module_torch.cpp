// The extension module pelk_utils._pelk_torch: what needs libtorch (the
// built-in models, region features and the overlap resolution). The package
// imports it on first use, so `import pelk_utils` stays light.
#include "bindings.hpp"
#include "convert.hpp"
#include "hooks.hpp"

PYBIND11_MODULE(_pelk_torch, m) {
  m.doc() = "pelk_utils: the parts of the C++ core that need libtorch.";
  using namespace pelk::python;
  // The classes this module's functions take (Mask, FrameRecord, ...) are
  // registered by the light module.
  py::module_::import("pelk_utils._pelk_utils");
  py::register_exception_translator(&translate_errors);
  install_python_hooks();
  bind_models(m);
  bind_matching_torch(m);
  refuse_old_pickle_protocols(m);
}

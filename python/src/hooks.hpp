// What ties the library's process-wide facilities to the interpreter: its
// progress lines go to Python's sys.stdout, Ctrl-C on the main thread stops
// long work between items, and a stopped call raises the KeyboardInterrupt
// that stopped it. Each extension module installs them once at import.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>

namespace pelk::python {

// Installs the output sink and the stop check for this module's copy of the
// library, and removes them at interpreter exit.
void install_python_hooks();

// Releases the GIL for the guard's lifetime, like py::gil_scoped_release, but
// safe in a daemon thread when the interpreter exits meanwhile: there the
// thread never takes the GIL back (it waits for the process to end), or, when
// Python ends it while it waits, it leaves without terminating the process.
class ReleaseGil {
 public:
  ReleaseGil();
  ~ReleaseGil() noexcept(false);
  ReleaseGil(const ReleaseGil&) = delete;
  ReleaseGil& operator=(const ReleaseGil&) = delete;

 private:
  PyThreadState* state_;
  int exceptions_;
};

// Takes the GIL back after PyEval_SaveThread(), or waits for the process to
// end when the interpreter is exiting (see ReleaseGil).
void restore_gil(PyThreadState* state) noexcept;

// Gives every class of `m` a __reduce_ex__ that refuses pickle protocols 0
// and 1 with a TypeError naming protocol 2 (they would build an instance
// without its C++ object, which aborts the interpreter) and leaves protocols
// 2 and up as they were (copy and pickle by __getstate__ / __setstate__).
void refuse_old_pickle_protocols(pybind11::module_& m);

// The TypeError text of a value that could not be converted (the surface
// wrapper in _surface.py recognises it and names the call).
inline constexpr const char* kWrongKindMessage = "a value of the wrong kind could not be converted";

// Translates the library's exceptions that have a closer Python meaning:
// a stop on request is the KeyboardInterrupt that asked for it, missing keys
// are KeyError and positions outside a list IndexError, file-system errors are
// OSError with their errno (so FileNotFoundError where it fits), and OpenCV
// failing to allocate (an absurd raster size) is MemoryError. A value
// pybind11 could not convert is a TypeError with kWrongKindMessage.
void translate_errors(std::exception_ptr error);

}  // namespace pelk::python

#include "hooks.hpp"

#include <pythread.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string_view>

#include <opencv2/core.hpp>

#include "pelk_utils/core/output.hpp"
#include "pelk_utils/core/stop.hpp"

namespace pelk::python {
namespace {

namespace py = pybind11;

// Cleared at interpreter exit: a daemon thread still in the library must not
// wait for a GIL that will never come back.
std::atomic<bool> g_interpreter_alive{false};
std::atomic<unsigned long> g_main_thread{0};

// The exception a signal handler raised on this thread while the library ran,
// kept until the call unwinds back to Python (the GIL is not held between).
struct StashedError {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
};
thread_local StashedError t_stashed;

bool finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing();
#else
  return _Py_IsFinalizing();
#endif
}

bool python_usable() { return g_interpreter_alive.load() && Py_IsInitialized() && !finalizing(); }

// Writes one message to the sys.stdout of the moment, as print() would from
// the calling thread. Takes the GIL for the message only; a pending Python
// error of the thread survives, and a failing stream loses the message.
void write_to_python(std::string_view text) {
  if (!python_usable()) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    return;
  }
  py::gil_scoped_acquire gil;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyObject* stream = PySys_GetObject("stdout");  // borrowed
  if (stream != nullptr && stream != Py_None) {
    // Bytes that are not UTF-8 (a folder name) are shown, not raised.
    PyObject* str = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    PyObject* result = str ? PyObject_CallMethod(stream, "write", "O", str) : nullptr;
    Py_XDECREF(result);
    Py_XDECREF(str);
    if (result == nullptr) PyErr_Clear();
  }
  PyErr_Restore(type, value, traceback);
}

// Runs the interpreter's pending signal handlers on the main thread (where
// Python runs them) and keeps what they raised; other threads never stop.
bool python_asks_stop() {
  if (!python_usable() || PyThread_get_thread_ident() != g_main_thread.load()) return false;
  py::gil_scoped_acquire gil;
  if (t_stashed.type != nullptr) return true;
  if (PyErr_CheckSignals() == 0) return false;
  PyErr_Fetch(&t_stashed.type, &t_stashed.value, &t_stashed.traceback);
  return true;
}

}  // namespace

void install_python_hooks() {
  g_main_thread = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
  g_interpreter_alive = true;
  set_output_sink(write_to_python);
  set_stop_check(python_asks_stop);
  py::module_::import("atexit").attr("register")(py::cpp_function([] {
    g_interpreter_alive = false;
    set_stop_check({});
    set_output_sink({});
  }));
}

namespace {

// Sets the error of a call the library stopped: the interrupt the signal
// handler raised, else a plain KeyboardInterrupt (a stop asked from C++).
void set_stopped_error() {
  if (t_stashed.type != nullptr) {
    PyErr_Restore(t_stashed.type, t_stashed.value, t_stashed.traceback);
    t_stashed = {};
    return;
  }
  PyErr_SetNone(PyExc_KeyboardInterrupt);
}

}  // namespace

void translate_errors(std::exception_ptr error) {
  try {
    if (error) std::rethrow_exception(error);
  } catch (const StopRequested&) {
    set_stopped_error();
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

}  // namespace pelk::python

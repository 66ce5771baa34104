#include "hooks.hpp"

#include <pythread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

#include <opencv2/core.hpp>

#include "pelk_utils/core/output.hpp"
#include "pelk_utils/core/polygon_fill.hpp"
#include "pelk_utils/core/stop.hpp"

namespace pelk::python {
namespace {

namespace py = pybind11;

// Cleared at interpreter exit: a daemon thread still in the library must not
// wait for a GIL that will never come back.
std::atomic<bool> g_interpreter_alive{false};
std::atomic<unsigned long> g_main_thread{0};

// The exceptions signal handlers raised while the library ran, by thread,
// kept until the call unwinds back to Python (the GIL is not held between).
// Kept in the light module, so that both extension modules (each with its
// own copy of the library) see one table. Use with the GIL held.
py::dict pending_interrupts() {
  return py::module_::import("pelk_utils._pelk_utils").attr("_pending_interrupts");
}

bool finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing();
#else
  return _Py_IsFinalizing();
#endif
}

bool python_usable() { return g_interpreter_alive.load() && Py_IsInitialized() && !finalizing(); }

// Threads of this module on their way to the GIL from C++. An exiting
// interpreter ends any thread that waits for the GIL, which C++ frames on its
// stack do not survive; so the exit handler waits (with the GIL released)
// until none is on its way, and later ones never ask (enter_python()).
std::atomic<int> g_entering{0};

// Returns true when the caller may take the GIL; then call left_python()
// once it holds (or has given back) the GIL.
bool enter_python() {
  ++g_entering;
  if (python_usable()) return true;
  --g_entering;
  return false;
}

void left_python() { --g_entering; }

// Blocks the calling thread until the process ends.
[[noreturn]] void wait_for_process_end() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

// Marks the interpreter as exiting and lets the threads on their way to the
// GIL through first (for a bounded time: a stream may block for ever).
void stop_entering_python() {
  g_interpreter_alive = false;
  Py_BEGIN_ALLOW_THREADS
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (g_entering.load() > 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  Py_END_ALLOW_THREADS
}

// Keeps an interrupt that a Python stream's code raised (the signal handler
// runs wherever Python code runs) for the next stop check; drops any other
// error of the stream.
void keep_raised();

void keep_interrupt_or_clear() {
  if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) || PyErr_ExceptionMatches(PyExc_SystemExit)) {
    keep_raised();
  } else {
    PyErr_Clear();
  }
}

// Moves the raised Python error into the calling thread's pending entry.
void keep_raised() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  const auto keep = [](PyObject* o) { return o ? py::reinterpret_steal<py::object>(o) : py::none(); };
  pending_interrupts()[py::int_(PyThread_get_thread_ident())] = py::make_tuple(keep(type), keep(value), keep(traceback));
}

// Makes the calling thread's pending interrupt the current Python error and
// forgets it; returns false when there is none. Call with the GIL held.
bool restore_pending_interrupt() {
  const py::dict pending = pending_interrupts();
  const py::int_ thread(PyThread_get_thread_ident());
  if (!pending.contains(thread)) return false;
  const py::tuple raised = pending[thread];
  PyDict_DelItem(pending.ptr(), thread.ptr());
  const py::object type = raised[0], value = raised[1], traceback = raised[2];
  PyErr_Restore(type.inc_ref().ptr(), value.inc_ref().ptr(), traceback.is_none() ? nullptr : traceback.inc_ref().ptr());
  return true;
}

// Returns (a new reference to) where this thread's progress lines go: the
// stream of an active pelk_utils.progress_lines() block of the thread (None:
// dropped), else sys.stdout. Both extension modules read one thread-local
// object of the light module. Call with the GIL held.
PyObject* progress_stream() {
  static PyObject* local = [] {
    PyObject* module = PyImport_ImportModule("pelk_utils._pelk_utils");
    PyObject* found = module ? PyObject_GetAttrString(module, "_progress") : nullptr;
    Py_XDECREF(module);
    if (found == nullptr) PyErr_Clear();
    return found;  // kept for the process's life
  }();
  if (local != nullptr) {
    PyObject* target = PyObject_GetAttrString(local, "stream");
    if (target != nullptr) return target;
    PyErr_Clear();
  }
  PyObject* stdout_stream = PySys_GetObject("stdout");  // borrowed
  Py_XINCREF(stdout_stream);
  return stdout_stream;
}

// Writes one message to the sys.stdout of the moment, as print() would from
// the calling thread. Takes the GIL for the message only; a pending Python
// error of the thread survives, and a failing stream loses the message.
// No RAII here: an exiting interpreter may end this thread inside the Python
// call, and nothing may then try to give back a GIL the thread no longer has.
void write_to_python(std::string_view text) {
  if (!enter_python()) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    return;
  }
  const PyGILState_STATE gil = PyGILState_Ensure();
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyObject* stream = progress_stream();  // new reference, or null to drop the message
  if (stream != nullptr && stream != Py_None) {
    // Bytes that are not UTF-8 (a folder name) are shown, not raised.
    PyObject* str = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    PyObject* result = str ? PyObject_CallMethod(stream, "write", "O", str) : nullptr;
    Py_XDECREF(result);
    Py_XDECREF(str);
    if (result == nullptr) keep_interrupt_or_clear();
  }
  Py_XDECREF(stream);
  PyErr_Restore(type, value, traceback);
  PyGILState_Release(gil);
  left_python();
}

// Runs the interpreter's pending signal handlers on the main thread (where
// Python runs them) and keeps what they raised; other threads never stop.
bool python_asks_stop() {
  if (!python_usable() || PyThread_get_thread_ident() != g_main_thread.load()) return false;
  py::gil_scoped_acquire gil;
  const py::dict pending = pending_interrupts();
  const py::int_ thread(PyThread_get_thread_ident());
  if (pending.contains(thread)) return true;
  if (PyErr_CheckSignals() == 0) return false;
  keep_raised();
  return true;
}

}  // namespace

void install_python_hooks() {
  g_main_thread = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
  g_interpreter_alive = true;
  set_output_sink(write_to_python);
  set_stop_check(python_asks_stop);
  py::module_::import("atexit").attr("register")(py::cpp_function([] {
    stop_entering_python();
    set_stop_check({});
    set_output_sink({});
  }));
}

void restore_gil(PyThreadState* state) noexcept {
  if (!enter_python()) wait_for_process_end();
  PyEval_RestoreThread(state);
  left_python();
}

ReleaseGil::ReleaseGil() : state_(PyEval_SaveThread()), exceptions_(std::uncaught_exceptions()) {}

ReleaseGil::~ReleaseGil() noexcept(false) {
  // After the exit handlers only daemon threads still run, and an exiting
  // interpreter ends any thread that asks for the GIL back, which its C++
  // frames do not survive: wait for the process to end instead.
  restore_gil(state_);
  // Ctrl-C caught by a Python stream while the work ran and found by no
  // later stop check is raised now, as Python would right after the call.
  if (std::uncaught_exceptions() == exceptions_ && restore_pending_interrupt()) throw py::error_already_set();
}

void refuse_old_pickle_protocols(py::module_& m) {
  const py::object object_reduce_ex = py::module_::import("builtins").attr("object").attr("__reduce_ex__");
  for (const auto item : py::reinterpret_borrow<py::dict>(m.attr("__dict__"))) {
    const py::handle cls = item.second;
    if (!PyType_Check(cls.ptr())) continue;
    const std::string name = py::str(cls.attr("__name__"));
    cls.attr("__reduce_ex__") = py::cpp_function(
        [object_reduce_ex, name](const py::object& self, int protocol) -> py::object {
          if (protocol < 2) {
            throw py::type_error("pelk_utils." + name + " cannot be pickled with protocol " + std::to_string(protocol) +
                                 "; use protocol 2 or higher (pickle's default)");
          }
          return object_reduce_ex(self, protocol);
        },
        py::is_method(cls), py::name("__reduce_ex__"), py::arg("protocol"));
  }
}

namespace {

// Sets FileNotFoundError (with its filename) when `message` says a file
// could not be read or found and the first path it quotes does not exist;
// returns false otherwise.
bool set_missing_file_error(const std::string& message) {
  static const char* const kReadFailures[] = {"cannot read", "cannot open", "could not be read", "does not exist",
                                              "no such file", "No such file", "not found", "missing", "no pen polygon"};
  if (std::none_of(std::begin(kReadFailures), std::end(kReadFailures),
                   [&](const char* phrase) { return message.find(phrase) != std::string::npos; })) {
    return false;
  }
  const std::size_t open = message.find('\'');
  const std::size_t close = open == std::string::npos ? open : message.find('\'', open + 1);
  if (close == std::string::npos) return false;
  const std::string path = message.substr(open + 1, close - open - 1);
  std::error_code ec;
  if (path.empty() || std::filesystem::exists(path, ec)) return false;
  PyObject* filename = PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  PyObject* args = Py_BuildValue("(iNN)", ENOENT, text, filename);
  PyErr_SetObject(PyExc_FileNotFoundError, args);
  Py_XDECREF(args);
  return true;
}

// Sets the error of a call the library stopped: the interrupt the signal
// handler raised, else a plain KeyboardInterrupt (a stop asked from C++).
void set_stopped_error() {
  if (!restore_pending_interrupt()) PyErr_SetNone(PyExc_KeyboardInterrupt);
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
    // A position outside a list is IndexError; a missing key KeyError.
    const bool position = std::string(e.what()).find(" outside a list of ") != std::string::npos;
    PyErr_SetString(position ? PyExc_IndexError : PyExc_KeyError, e.what());
  } catch (const cv::Exception& e) {
    if (e.code != cv::Error::StsNoMem) throw;
    PyErr_SetString(PyExc_MemoryError, e.what());
  } catch (const MaskTooLarge& e) {
    // Refused before allocating: what numpy says of an array it cannot hold.
    PyErr_SetString(PyExc_MemoryError, e.what());
  } catch (const py::cast_error&) {
    // Never pybind11's own "Unable to cast ..." text: the surface wrapper
    // adds the call's name and the types it was given.
    PyErr_SetString(PyExc_TypeError, kWrongKindMessage);
  } catch (const std::runtime_error& e) {
    if (!set_missing_file_error(e.what())) throw;
  } catch (const std::invalid_argument& e) {
    if (!set_missing_file_error(e.what())) throw;
  }
}

}  // namespace pelk::python

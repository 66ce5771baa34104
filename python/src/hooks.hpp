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

// Translates the library's exceptions that have a closer Python meaning:
// a stop on request is the KeyboardInterrupt that asked for it, missing keys
// are KeyError (pybind11 would say IndexError), file-system errors are
// OSError with their errno (so FileNotFoundError where it fits), and OpenCV
// failing to allocate (an absurd raster size) is MemoryError.
void translate_errors(std::exception_ptr error);

}  // namespace pelk::python

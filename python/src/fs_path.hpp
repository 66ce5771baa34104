// File-system paths at the border with Python. A path parameter takes str,
// bytes or any os.PathLike and holds the bytes os.fsencode gives, so a name
// that is not UTF-8 (a str with surrogate escapes, as os.listdir returns it)
// reaches the file system unchanged; a path handed back is the str
// os.fsdecode gives, which open() accepts.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <vector>

namespace pelk::python {

namespace py = pybind11;

struct FsPath {
  std::string bytes;
  operator const std::string&() const { return bytes; }
};

// Returns `bytes` as os.fsdecode would (surrogate escapes for bytes that are not UTF-8).
py::str path_str(const std::string& bytes);

// Returns the byte strings of `paths`.
std::vector<std::string> path_bytes(const std::vector<FsPath>& paths);

// Returns `paths` as a list of str, as os.fsdecode gives them.
py::list path_list(const std::vector<std::string>& paths);

// Returns `path` as str, or None.
py::object optional_path(const std::optional<std::string>& path);

}  // namespace pelk::python

namespace pybind11::detail {

template <>
struct type_caster<pelk::python::FsPath> {
  PYBIND11_TYPE_CASTER(pelk::python::FsPath, const_name("str | bytes | os.PathLike"));

  bool load(handle src, bool) {
    if (!src || !(PyUnicode_Check(src.ptr()) || PyBytes_Check(src.ptr()) || PyObject_HasAttrString(src.ptr(), "__fspath__"))) {
      return false;
    }
    PyObject* encoded = nullptr;
    if (PyUnicode_FSConverter(src.ptr(), &encoded) == 0) {  // e.g. an embedded NUL
      PyErr_Clear();
      return false;
    }
    value.bytes.assign(PyBytes_AS_STRING(encoded), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)));
    Py_DECREF(encoded);
    return true;
  }

  static handle cast(const pelk::python::FsPath& path, return_value_policy, handle) {
    return PyUnicode_DecodeFSDefaultAndSize(path.bytes.data(), static_cast<Py_ssize_t>(path.bytes.size()));
  }
};

}  // namespace pybind11::detail

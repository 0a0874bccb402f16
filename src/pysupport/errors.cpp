#include "errors.hpp"

#include <string>

namespace tarvane {

namespace {

PyObject* raise_text(PyObject* type, const std::string& text) {
  PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (!message) return nullptr;
  PyErr_SetObject(type, message);
  Py_DECREF(message);
  return nullptr;
}

}  // namespace

PyObject* to_py_err(const BufrError& error) {
  raise_text(PyExc_ValueError, error.display());
  if (error.path.empty()) return nullptr;
  // The table file being loaded rides on the exception as table_path; the
  // message stays the error's display text.
  PyObject* exc = PyErr_GetRaisedException();
  PyObject* path = PyUnicode_DecodeFSDefaultAndSize(error.path.data(), static_cast<Py_ssize_t>(error.path.size()));
  if (path == nullptr || PyObject_SetAttrString(exc, "table_path", path) < 0) {
    Py_XDECREF(path);
    Py_DECREF(exc);
    return nullptr;  // the failure to attach is the exception now
  }
  Py_DECREF(path);
  PyErr_SetRaisedException(exc);
  return nullptr;
}

PyObject* to_os_err(const BufrError& error) {
  // A failure below the read itself (not an I/O error) keeps its own type.
  if (error.kind != ErrorKind::Io) return to_py_err(error);
  return raise_text(PyExc_OSError, error.message);
}

}  // namespace tarvane

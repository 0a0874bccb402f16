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

PyObject* to_py_err(const BufrError& error) { return raise_text(PyExc_ValueError, error.display()); }

PyObject* to_os_err(const BufrError& error) {
  // A failure below the read itself (not an I/O error) keeps its own type.
  if (error.kind != ErrorKind::Io) return to_py_err(error);
  return raise_text(PyExc_OSError, error.message);
}

}  // namespace tarvane

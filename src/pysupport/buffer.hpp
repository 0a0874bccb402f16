// A caller's buffer held for the length of a call.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace tarvane {

class HeldBuffer {
 public:
  HeldBuffer() = default;
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }

  // Any C-contiguous bytes-like object, read as its octets.
  bool hold(PyObject* obj, const char* arg) {
    if (!PyObject_CheckBuffer(obj)) {
      PyErr_Format(PyExc_TypeError, "%s must be a bytes-like object, not %.100s", arg, Py_TYPE(obj)->tp_name);
      return false;
    }
    return get(obj, PyBUF_C_CONTIGUOUS);
  }

  // A C-contiguous buffer whose items are of one native type (struct code
  // type, itemsize octets each), such as a NumPy column.
  bool hold_typed(PyObject* obj, const char* arg, char type, Py_ssize_t itemsize, const char* what) {
    if (!get(obj, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) return false;
    std::string_view f = view_.format == nullptr ? "B" : view_.format;
    if (!f.empty() && (f[0] == '=' || f[0] == '<' || f[0] == '@')) f.remove_prefix(1);
    if (view_.itemsize != itemsize || f.size() != 1 || f[0] != type) {
      PyErr_Format(PyExc_TypeError, "%s must be a buffer of %s", arg, what);
      return false;
    }
    return true;
  }

  template <typename T = uint8_t>
  std::span<const T> span() const {
    return {static_cast<const T*>(view_.buf), static_cast<size_t>(view_.len) / sizeof(T)};
  }

 private:
  bool get(PyObject* obj, int flags) {
    if (PyObject_GetBuffer(obj, &view_, flags) < 0) return false;
    held_ = true;
    return true;
  }

  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace tarvane

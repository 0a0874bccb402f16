// Instances of the reading layer's Python classes made in native code: a
// class with __slots__ whose slots are filled at once, where calling the
// class and setting each slot from Python cost more than decoding a small
// message.
#pragma once

#include <Python.h>

#include <span>
#include <vector>

namespace tarvane {

class SlottedClass {
 public:
  // cls and the member descriptors of the slots make() fills, in its
  // order. False (TypeError set) unless each is an object slot of cls.
  bool bind(PyObject* cls, std::span<PyObject* const> descriptors);
  // The same, the descriptors found by name in cls.
  bool bind_names(PyObject* cls, std::span<const char* const> names);
  bool bound() const { return type_ != nullptr; }

  // A new instance with slot i holding values[i] (references are added);
  // nullptr with the error set when it cannot be allocated.
  PyObject* make(std::span<PyObject* const> values) const;

 private:
  PyTypeObject* type_ = nullptr;  // kept for the life of the process
  std::vector<Py_ssize_t> offsets_;
};

}  // namespace tarvane

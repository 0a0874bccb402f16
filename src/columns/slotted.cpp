#include "slotted.hpp"

#include <structmember.h>

namespace tarvane {

bool SlottedClass::bind(PyObject* cls, std::span<PyObject* const> descriptors) {
  if (!PyType_Check(cls)) {
    PyErr_SetString(PyExc_TypeError, "a class is needed");
    return false;
  }
  std::vector<Py_ssize_t> offsets;
  for (PyObject* d : descriptors) {
    // A slot of cls itself: a member descriptor of an object that may be
    // unset (the slots of a class with __slots__ are).
    if (d == nullptr || !Py_IS_TYPE(d, &PyMemberDescr_Type) ||
        reinterpret_cast<PyDescrObject*>(d)->d_type != reinterpret_cast<PyTypeObject*>(cls)) {
      PyErr_SetString(PyExc_TypeError, "slot descriptors of the class itself are needed");
      return false;
    }
    const PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(d)->d_member;
    if (member->type != T_OBJECT_EX || (member->flags & READONLY) != 0) {
      PyErr_SetString(PyExc_TypeError, "slot descriptors of the class itself are needed");
      return false;
    }
    offsets.push_back(member->offset);
  }
  Py_XSETREF(type_, reinterpret_cast<PyTypeObject*>(Py_NewRef(cls)));
  offsets_ = std::move(offsets);
  return true;
}

bool SlottedClass::bind_names(PyObject* cls, std::span<const char* const> names) {
  if (!PyType_Check(cls)) {
    PyErr_SetString(PyExc_TypeError, "a class is needed");
    return false;
  }
  PyObject* dict = reinterpret_cast<PyTypeObject*>(cls)->tp_dict;
  std::vector<PyObject*> descriptors;
  for (const char* name : names) {
    PyObject* d = PyDict_GetItemString(dict, name);  // borrowed; the class keeps it
    if (d == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s has no slot %s", reinterpret_cast<PyTypeObject*>(cls)->tp_name, name);
      return false;
    }
    descriptors.push_back(d);
  }
  return bind(cls, descriptors);
}

PyObject* SlottedClass::make(std::span<PyObject* const> values) const {
  PyObject* obj = type_->tp_alloc(type_, 0);
  if (obj == nullptr) return nullptr;
  // A new instance's slots are all empty: nothing is released here.
  char* base = reinterpret_cast<char*>(obj);
  for (size_t i = 0; i < offsets_.size() && i < values.size(); ++i) {
    *reinterpret_cast<PyObject**>(base + offsets_[i]) = Py_NewRef(values[i]);
  }
  return obj;
}

}  // namespace tarvane

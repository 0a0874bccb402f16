// Descriptor(f, x, y): builds, splits and prints descriptor codes.
#include <string>

#include "../descriptor.hpp"
#include "../pysupport/args.hpp"
#include "classes.hpp"

namespace tarvane {

namespace {

struct DescriptorObject {
  PyObject_HEAD
  uint8_t f;
  uint8_t x;
  uint8_t y;
};

DescriptorObject* as_descriptor(PyObject* obj) { return reinterpret_cast<DescriptorObject*>(obj); }

uint32_t fxy_of(PyObject* self) {
  DescriptorObject* d = as_descriptor(self);
  return make_code(d->f, d->x, d->y);
}

PyObject* new_descriptor(PyTypeObject* type, uint8_t f, uint8_t x, uint8_t y) {
  PyObject* obj = type->tp_alloc(type, 0);
  if (!obj) return nullptr;
  DescriptorObject* d = as_descriptor(obj);
  d->f = f;
  d->x = x;
  d->y = y;
  return obj;
}

PyObject* descriptor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* argv[3];
  if (!collect_args("Descriptor", {"f", "x", "y"}, args, kwargs, argv)) return nullptr;
  uint8_t f, x, y;
  if (!arg_u8(argv[0], "f", &f) || !arg_u8(argv[1], "x", &x) || !arg_u8(argv[2], "y", &y)) return nullptr;
  return new_descriptor(type, f, x, y);
}

PyObject* descriptor_from_fxy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  if (!collect_args("Descriptor.from_fxy", {"code"}, args, nargs, kwnames, argv)) return nullptr;
  uint32_t code;
  if (!arg_u32(argv[0], "code", &code)) return nullptr;
  DescriptorParts p = split_code(code);
  // F and Y of a u32 code can exceed the 8-bit fields; refuse rather than
  // wrap into a different descriptor.
  if (p.f > 255 || p.y > 255) {
    std::string text = "descriptor code " + code_text(code) + " does not fit Descriptor(f, x, y): " +
                       (p.f > 255 ? "f is " + std::to_string(p.f) : "y is " + std::to_string(p.y)) +
                       ", above 255";
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return nullptr;
  }
  PyTypeObject* type = descriptor_type();
  if (!type) return nullptr;
  return new_descriptor(type, static_cast<uint8_t>(p.f), static_cast<uint8_t>(p.x), static_cast<uint8_t>(p.y));
}

PyObject* get_f(PyObject* self, void*) { return PyLong_FromUnsignedLong(as_descriptor(self)->f); }
PyObject* get_x(PyObject* self, void*) { return PyLong_FromUnsignedLong(as_descriptor(self)->x); }
PyObject* get_y(PyObject* self, void*) { return PyLong_FromUnsignedLong(as_descriptor(self)->y); }
PyObject* get_fxy(PyObject* self, void*) { return PyLong_FromUnsignedLong(fxy_of(self)); }

PyObject* descriptor_repr(PyObject* self) {
  std::string text = "Descriptor(" + code_text(fxy_of(self)) + ")";
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

void descriptor_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyGetSetDef descriptor_getset[] = {
    {"f", get_f, nullptr, nullptr, nullptr},
    {"x", get_x, nullptr, nullptr, nullptr},
    {"y", get_y, nullptr, nullptr, nullptr},
    {"fxy", get_fxy, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef descriptor_methods[] = {
    {"from_fxy", fast_function<descriptor_from_fxy>(), kFastCall | METH_STATIC, "from_fxy(code)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot descriptor_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(descriptor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(descriptor_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(descriptor_repr)},
    {Py_tp_getset, descriptor_getset},
    {Py_tp_methods, descriptor_methods},
    {Py_tp_doc, const_cast<char*>("Descriptor(f, x, y)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec descriptor_spec = {"tarvane._tarvane.Descriptor", sizeof(DescriptorObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, descriptor_slots};

}  // namespace

PyTypeObject* descriptor_type() {
  static PyTypeObject* type = nullptr;
  if (!type) type = make_type(&descriptor_spec);
  return type;
}

}  // namespace tarvane

#include "convert.hpp"

#include <cstring>

namespace tarvane {

PyTypeObject* make_type(PyType_Spec* spec) {
  // The PyType_Spec name carries the module ("tarvane._tarvane.BufrMessage") so the
  // class gets its __module__ without the interpreter's DeprecationWarning
  // for a dotless name; the type name itself stays the bare class name. The
  // name buffer belongs to the type, so pointing into it is safe.
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
  if (type) {
    const char* dot = std::strrchr(type->tp_name, '.');
    if (dot) type->tp_name = dot + 1;
  }
  return type;
}

PyObject* text_to_py(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* codes_to_list(const std::vector<uint32_t>& codes) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(codes.size()));
  if (!list) return nullptr;
  for (size_t i = 0; i < codes.size(); ++i) {
    PyObject* item = PyLong_FromUnsignedLong(codes[i]);
    if (!item) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

}  // namespace tarvane

// PyInit__tarvane: the module object, its six classes and eight functions,
// each also listed in __all__ in registration order.
#include <cstdint>

#include "../pysupport/args.hpp"
#include "classes.hpp"
#include "functions.hpp"

namespace tarvane {

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_tarvane", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyMethodDef function_defs[] = {
    {"parse_bytes", fast_function<fn_parse_bytes>(), kFastCall, "parse_bytes(data)\n--\n\n"},
    {"parse_file", fast_function<fn_parse_file>(), kFastCall, "parse_file(path)\n--\n\n"},
    {"parse_all_bytes", fast_function<fn_parse_all_bytes>(), kFastCall, "parse_all_bytes(data)\n--\n\n"},
    {"parse_all_file", fast_function<fn_parse_all_file>(), kFastCall, "parse_all_file(path)\n--\n\n"},
    {"expand_descriptors", fast_function<fn_expand_descriptors>(), kFastCall,
     "expand_descriptors(table_dir, descriptors)\n--\n\n"},
    {"decode_values", fast_function<fn_decode_values>(), kFastCall, "decode_values(data, table_dir)\n--\n\n"},
    {"decode_values_with_tables", fast_function<fn_decode_values_with_tables>(), kFastCall,
     "decode_values_with_tables(data, tables)\n--\n\n"},
    {"decode_values_with_definitions", fast_function<fn_decode_values_with_definitions>(), kFastCall,
     "decode_values_with_definitions(data, definitions_root)\n--\n\n"},
};

// Adds obj (a new reference, or nullptr after a failure) under name and
// appends name to __all__.
bool add(PyObject* module, PyObject* all, const char* name, PyObject* obj) {
  if (!obj) return false;
  int rc = PyModule_AddObjectRef(module, name, obj);
  Py_DECREF(obj);
  if (rc < 0) return false;
  PyObject* text = PyUnicode_FromString(name);
  if (!text) return false;
  rc = PyList_Append(all, text);
  Py_DECREF(text);
  return rc == 0;
}

bool add_type(PyObject* module, PyObject* all, PyTypeObject* type) {
  if (!type) return false;
  PyObject* name = PyType_GetName(type);
  if (!name) return false;
  const char* text = PyUnicode_AsUTF8(name);
  bool ok = text && add(module, all, text, Py_NewRef(reinterpret_cast<PyObject*>(type)));
  Py_DECREF(name);
  return ok;
}

bool register_all(PyObject* module) {
  PyObject* all = PyList_New(0);
  if (!all) return false;
  bool ok = PyModule_AddObjectRef(module, "__all__", all) == 0;
  PyTypeObject* (*const types[])() = {message_type,           decoded_value_type,       descriptor_type,
                                      element_definition_type, sequence_definition_type, table_set_type};
  for (auto type : types) ok = ok && add_type(module, all, type());
  PyObject* module_name = PyModule_GetNameObject(module);
  ok = ok && module_name;
  for (PyMethodDef& def : function_defs)
    ok = ok && add(module, all, def.ml_name, PyCMethod_New(&def, module, module_name, nullptr));
  Py_XDECREF(module_name);
  Py_DECREF(all);
  return ok;
}

}  // namespace

}  // namespace tarvane

PyMODINIT_FUNC PyInit__tarvane() {
  // The module and its types are made once per process and belong to the
  // first interpreter that imports it.
  static int64_t owner = -1;
  static PyObject* module = nullptr;
  int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return nullptr;
  if (owner != -1 && owner != id) {
    PyErr_SetString(PyExc_ImportError, "_tarvane does not support sub-interpreters: it was first imported by another interpreter");
    return nullptr;
  }
  if (module) return Py_NewRef(module);
  PyObject* created = PyModule_Create(&tarvane::module_def);
  if (!created) return nullptr;
  if (!tarvane::register_all(created)) {
    Py_DECREF(created);
    return nullptr;
  }
  owner = id;
  module = created;
  return Py_NewRef(module);
}

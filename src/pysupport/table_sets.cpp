#include "table_sets.hpp"

#include <new>
#include <utility>

#include "table_set_layout_internal.hpp"

namespace tarvane {

const TableSet& table_set_of(PyObject* obj) { return reinterpret_cast<TableSetObject*>(obj)->tables; }

PyObject* new_table_set_object(PyTypeObject* type, TableSet tables) {
  PyObject* obj = type->tp_alloc(type, 0);
  if (!obj) return nullptr;
  TableSetObject* t = reinterpret_cast<TableSetObject*>(obj);
  new (&t->tables) TableSet(std::move(tables));
  t->strs = nullptr;
  return obj;
}

PyTypeObject* imported_table_set_type() {
  PyObject* tarvane_module = PyImport_ImportModule("tarvane._tarvane");
  if (!tarvane_module) return nullptr;
  PyObject* type = PyObject_GetAttrString(tarvane_module, "TableSet");
  Py_DECREF(tarvane_module);
  if (!type) return nullptr;
  if (!PyType_Check(type)) {
    Py_DECREF(type);
    PyErr_SetString(PyExc_ImportError, "tarvane._tarvane.TableSet is not a type");
    return nullptr;
  }
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace tarvane

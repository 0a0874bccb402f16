// Pickling support for TableSet: the set travels as the core's byte form, so
// a worker process receives a loaded set instead of reading table files.
#include "table_pickle.hpp"

#include <new>
#include <string>

#include "../lib/args.hpp"
#include "../lib/errors.hpp"
#include "../lib/table_set_object.hpp"
#include "../tables/table_bytes.hpp"

namespace tarvane {

namespace {

// The TableSet type of tarvane._tarvane, looked up once and kept.
PyTypeObject* table_set_type() {
  static PyTypeObject* type = nullptr;
  if (type) return type;
  PyObject* module = PyImport_ImportModule("tarvane._tarvane");
  if (!module) return nullptr;
  PyObject* t = PyObject_GetAttrString(module, "TableSet");
  Py_DECREF(module);
  if (!t) return nullptr;
  if (!PyType_Check(t)) {
    Py_DECREF(t);
    PyErr_SetString(PyExc_TypeError, "tarvane._tarvane.TableSet is not a type");
    return nullptr;
  }
  type = reinterpret_cast<PyTypeObject*>(t);
  return type;
}

}  // namespace

// dump_tables(tables) -> bytes.
PyObject* dump_tables(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!collect_args("dump_tables", {"tables"}, args, nargs, kwnames, a)) return nullptr;
  PyTypeObject* type = table_set_type();
  if (!type || !arg_instance(a[0], "tables", type, "TableSet")) return nullptr;
  const TableSet& tables = reinterpret_cast<TableSetObject*>(a[0])->tables;
  std::string bytes;
  bool no_memory = false;
  Py_BEGIN_ALLOW_THREADS
  try {
    bytes = table_set_to_bytes(tables);
  } catch (const std::bad_alloc&) {
    no_memory = true;
  }
  Py_END_ALLOW_THREADS
  if (no_memory) return PyErr_NoMemory();
  return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

// load_tables(bytes) -> TableSet; ValueError when the bytes are not a set.
PyObject* load_tables(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!collect_args("load_tables", {"data"}, args, nargs, kwnames, a)) return nullptr;
  std::span<const uint8_t> bytes;
  if (!arg_bytes(a[0], "data", &bytes)) return nullptr;
  PyTypeObject* type = table_set_type();
  if (!type) return nullptr;
  // The bytes object is held by the caller while the GIL is released.
  Result<TableSet> tables = fail(BufrError::parse(""));
  bool no_memory = false;
  Py_BEGIN_ALLOW_THREADS
  try {
    tables = table_set_from_bytes(bytes);
  } catch (const std::bad_alloc&) {
    no_memory = true;
  }
  Py_END_ALLOW_THREADS
  if (no_memory) return PyErr_NoMemory();
  if (!tables) return to_py_err(tables.error());
  PyObject* obj = type->tp_alloc(type, 0);
  if (!obj) return nullptr;
  new (&reinterpret_cast<TableSetObject*>(obj)->tables) TableSet(std::move(*tables));
  return obj;
}

}  // namespace tarvane

// TableSet objects as the reading layer's module sees them: the type that
// tarvane._tarvane made, checked on the way in and used to make new sets.
#pragma once

#include <Python.h>

#include <new>
#include <utility>

#include "../error.hpp"
#include "../lib/errors.hpp"
#include "../lib/table_set_object.hpp"

namespace tarvane {

// Set once by the module's initialisation, kept for the life of the process.
PyTypeObject* columns_table_set_type();
void set_columns_table_set_type(PyTypeObject* type);

// Runs load (returning Result<TableSet>) with the GIL released and wraps
// its set; nullptr with an exception set on failure. Whatever load reads
// must stay alive on its own while the GIL is released.
template <class Load>
PyObject* load_table_set(Load&& load) {
  Result<TableSet> tables = fail(BufrError::parse(""));
  bool no_memory = false;
  Py_BEGIN_ALLOW_THREADS
  try {
    tables = std::forward<Load>(load)();
  } catch (const std::bad_alloc&) {
    no_memory = true;
  }
  Py_END_ALLOW_THREADS
  if (no_memory) return PyErr_NoMemory();
  if (!tables) return to_py_err(tables.error());
  PyTypeObject* type = columns_table_set_type();
  PyObject* obj = type->tp_alloc(type, 0);
  if (!obj) return nullptr;
  new (&reinterpret_cast<TableSetObject*>(obj)->tables) TableSet(std::move(*tables));
  return obj;
}

}  // namespace tarvane

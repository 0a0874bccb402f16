// TableSet objects as the reading layer's module sees them: the type that
// tarvane._tarvane made, checked on the way in and used to make new sets.
#pragma once

#include <Python.h>

#include <utility>

#include "../error.hpp"
#include "../pysupport/errors.hpp"
#include "../pysupport/gil.hpp"
#include "../pysupport/table_sets.hpp"

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
  if (!without_gil([&] { tables = std::forward<Load>(load)(); })) return nullptr;
  if (!tables) return to_py_err(tables.error());
  return new_table_set_object(columns_table_set_type(), std::move(*tables));
}

}  // namespace tarvane

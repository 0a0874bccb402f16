// TableSet objects for either module: the type is _tarvane's, its layout
// stays in this folder, and the reading layer's module goes through these.
#pragma once

#include <Python.h>

#include "../tables/table_set.hpp"

namespace tarvane {

// The set inside an object already checked to be a TableSet.
const TableSet& table_set_of(PyObject* obj);

// A new instance of type (TableSet or a subclass) owning tables; nullptr
// with an exception set.
PyObject* new_table_set_object(PyTypeObject* type, TableSet tables);

// _tarvane's TableSet type, imported for a module beside it: a new
// reference, or nullptr with an exception set.
PyTypeObject* imported_table_set_type();

}  // namespace tarvane

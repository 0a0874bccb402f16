// dump_tables / load_tables: a TableSet as bytes and back, for pickling.
#pragma once

#include <Python.h>

namespace tarvane {

PyObject* dump_tables(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* load_tables(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* load_table_layers(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tarvane

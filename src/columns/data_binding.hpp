// tarvane.Data made in native code from what decode() returns: its own
// object and the one holding the message's columns, every slot filled, in
// one call. Made from Python it cost about a fifth of a small message's read.
#pragma once

#include <Python.h>

namespace tarvane {

// data_types(parts_cls, data_cls): the classes new_data() makes, each with
// the slots it fills.
PyObject* data_types_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// new_data(message, octets, tables, decoded, tables_used) -> Data of the
// whole message: decoded is decode()'s tuple, octets the message's bytes.
PyObject* new_data_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tarvane

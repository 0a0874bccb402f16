// The module-level functions, registered by module.cpp.
#pragma once

#include "../pysupport/py_compat.hpp"

namespace tarvane {

PyObject* fn_parse_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* fn_parse_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* fn_parse_all_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* fn_parse_all_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* fn_expand_descriptors(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* fn_decode_values(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* fn_decode_values_with_tables(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* fn_decode_values_with_definitions(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tarvane

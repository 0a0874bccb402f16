// observation_rows(subset, which, coordinate, keys): where the requested
// keys of decoded records meet, one row per observation.
#pragma once

#include <Python.h>

namespace tarvane {

PyObject* observation_rows_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tarvane

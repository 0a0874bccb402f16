// attributes(descriptor, value, subset): which record each record qualifies.
#pragma once

#include <Python.h>

namespace tarvane {

PyObject* attributes_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tarvane

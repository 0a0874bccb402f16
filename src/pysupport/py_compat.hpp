// The few CPython calls the modules use that older supported interpreters
// lack, written with the calls those interpreters have.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
// The exception being raised, normalised, with its traceback on it; the
// error indicator is cleared.
inline PyObject* PyErr_GetRaisedException() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (!type) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback && value) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
}

// Raises `exc` again, taking the reference.
inline void PyErr_SetRaisedException(PyObject* exc) {
  if (!exc) {
    PyErr_Clear();
    return;
  }
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc, PyException_GetTraceback(exc));
}
#endif

#if PY_VERSION_HEX < 0x030B0000
inline PyObject* PyType_GetName(PyTypeObject* type) {
  return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__");
}
#endif

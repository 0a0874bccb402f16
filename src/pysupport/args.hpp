// Argument collection and conversion shared by every function, method and
// constructor of the module. Each returns false with a Python exception set.
#pragma once

#include "py_compat.hpp"

#include <new>
#include <stdexcept>

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

namespace tarvane {

// The METH_FASTCALL | METH_KEYWORDS signature every function and method uses.
using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
// The entry point CPython calls for F. The core reports failures as values,
// but a container that cannot grow throws std::bad_alloc; it must not unwind
// into the interpreter, so it becomes MemoryError here.
template <FastFunction F>
PyObject* guarded_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  try {
    return F(self, args, nargs, kwnames);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::length_error&) {
    return PyErr_NoMemory();
  }
}

template <FastFunction F>
PyCFunction fast_function() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&guarded_call<F>));
}
inline constexpr int kFastCall = METH_FASTCALL | METH_KEYWORDS;

// Every parameter is required and may come by position or by keyword. fn is
// the name shown in errors ("parse_file", "TableSet.get_element").
bool collect_args(const char* fn, std::initializer_list<const char*> names, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames, PyObject** out);
// The same for the tuple and dict that tp_new receives (kwargs may be null).
bool collect_args(const char* fn, std::initializer_list<const char*> names, PyObject* args, PyObject* kwargs,
                  PyObject** out);

// A bytes object (or subclass), read in place while the object lives.
bool arg_bytes(PyObject* obj, const char* arg, std::span<const uint8_t>* out);
// A str (or subclass) in its UTF-8 form; encoding errors pass unchanged.
bool arg_str(PyObject* obj, const char* arg, std::string* out);
// An integer through __index__, at most max (a u8, u16 or u32 bound).
bool arg_uint(PyObject* obj, const char* arg, uint64_t max, uint64_t* out);
bool arg_u8(PyObject* obj, const char* arg, uint8_t* out);
bool arg_u32(PyObject* obj, const char* arg, uint32_t* out);
// The full unsigned 64-bit range, with the interpreter's own range errors.
bool arg_u64(PyObject* obj, const char* arg, uint64_t* out);
// An instance of type or of a subclass; type_name is shown in the error.
bool arg_instance(PyObject* obj, const char* arg, PyTypeObject* type, const char* type_name);
// A sequence of descriptor codes (u32 each); a str is refused.
bool arg_codes(PyObject* obj, const char* arg, std::vector<uint32_t>* out);

}  // namespace tarvane

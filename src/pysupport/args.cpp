#include "args.hpp"

#include <limits>

namespace tarvane {

namespace {

// The type's bare name, as the conversion errors show it.
std::string type_name(PyObject* obj) {
  std::string name = "?";
  PyObject* n = PyType_GetName(Py_TYPE(obj));
  if (n) {
    const char* s = PyUnicode_AsUTF8(n);
    if (s) name = s;
    Py_DECREF(n);
  }
  PyErr_Clear();
  return name;
}

bool cast_error(PyObject* obj, const char* arg, const char* target) {
  PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be cast as '%s'", arg, type_name(obj).c_str(),
               target);
  return false;
}

// A TypeError raised while converting an argument gets the argument's name in
// front; every other exception passes unchanged.
void prefix_type_error(const char* arg) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* exc = PyErr_GetRaisedException();
  PyObject* text = PyObject_Str(exc);
  if (!text) {
    Py_DECREF(exc);
    return;
  }
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", arg, text);
  Py_DECREF(text);
  Py_DECREF(exc);
}

// __index__, then a signed 64-bit value whose range is checked against max.
// Values beyond 64 bits keep the interpreter's own OverflowError.
bool index_to_uint(PyObject* obj, uint64_t max, uint64_t* out) {
  PyObject* index = PyNumber_Index(obj);
  if (!index) return false;
  long value = PyLong_AsLong(index);
  Py_DECREF(index);
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < 0 || static_cast<uint64_t>(value) > max) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  *out = static_cast<uint64_t>(value);
  return true;
}

bool place_keywords(const char* fn, std::initializer_list<const char*> names, PyObject* key, PyObject* value,
                    PyObject** out) {
  size_t i = 0;
  for (const char* name : names) {
    if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0) {
      if (out[i]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fn, name);
        return false;
      }
      out[i] = value;
      return true;
    }
    ++i;
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", fn, key);
  return false;
}

bool check_positional(const char* fn, size_t n, Py_ssize_t nargs) {
  if (static_cast<size_t>(nargs) <= n) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given", fn, n, n == 1 ? "" : "s",
               nargs, nargs == 1 ? "was" : "were");
  return false;
}

bool check_missing(const char* fn, std::initializer_list<const char*> names, PyObject** out) {
  size_t i = 0;
  for (const char* name : names) {
    if (!out[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", fn, name, i + 1);
      return false;
    }
    ++i;
  }
  return true;
}

}  // namespace

bool collect_args(const char* fn, std::initializer_list<const char*> names, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames, PyObject** out) {
  nargs = PyVectorcall_NARGS(nargs);
  if (!check_positional(fn, names.size(), nargs)) return false;
  for (size_t i = 0; i < names.size(); ++i) out[i] = i < static_cast<size_t>(nargs) ? args[i] : nullptr;
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k)
    if (!place_keywords(fn, names, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
  return check_missing(fn, names, out);
}

bool collect_args(const char* fn, std::initializer_list<const char*> names, PyObject* args, PyObject* kwargs,
                  PyObject** out) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (!check_positional(fn, names.size(), nargs)) return false;
  for (size_t i = 0; i < names.size(); ++i)
    out[i] = i < static_cast<size_t>(nargs) ? PyTuple_GET_ITEM(args, i) : nullptr;
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value))
      if (!place_keywords(fn, names, key, value, out)) return false;
  }
  return check_missing(fn, names, out);
}

bool arg_bytes(PyObject* obj, const char* arg, std::span<const uint8_t>* out) {
  if (!PyBytes_Check(obj)) return cast_error(obj, arg, "bytes");
  *out = {reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(obj)), static_cast<size_t>(PyBytes_GET_SIZE(obj))};
  return true;
}

bool arg_str(PyObject* obj, const char* arg, std::string* out) {
  if (!PyUnicode_Check(obj)) return cast_error(obj, arg, "str");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (!utf8) return false;
  out->assign(utf8, static_cast<size_t>(size));
  return true;
}

bool arg_uint(PyObject* obj, const char* arg, uint64_t max, uint64_t* out) {
  if (index_to_uint(obj, max, out)) return true;
  prefix_type_error(arg);
  return false;
}

bool arg_u8(PyObject* obj, const char* arg, uint8_t* out) {
  uint64_t v = 0;
  if (!arg_uint(obj, arg, std::numeric_limits<uint8_t>::max(), &v)) return false;
  *out = static_cast<uint8_t>(v);
  return true;
}

bool arg_u32(PyObject* obj, const char* arg, uint32_t* out) {
  uint64_t v = 0;
  if (!arg_uint(obj, arg, std::numeric_limits<uint32_t>::max(), &v)) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

bool arg_u64(PyObject* obj, const char* arg, uint64_t* out) {
  PyObject* index = PyNumber_Index(obj);
  if (!index) {
    prefix_type_error(arg);
    return false;
  }
  unsigned long long value = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    prefix_type_error(arg);
    return false;
  }
  *out = value;
  return true;
}

bool arg_instance(PyObject* obj, const char* arg, PyTypeObject* type, const char* type_name) {
  if (PyObject_TypeCheck(obj, type)) return true;
  return cast_error(obj, arg, type_name);
}

bool arg_codes(PyObject* obj, const char* arg, std::vector<uint32_t>* out) {
  if (PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': Can't extract `str` to `Vec`", arg);
    return false;
  }
  if (!PySequence_Check(obj)) return cast_error(obj, arg, "Sequence");
  Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) PyErr_Clear();
  out->clear();
  out->reserve(hint > 0 ? static_cast<size_t>(hint) : 0);
  PyObject* iter = PyObject_GetIter(obj);
  if (!iter) {
    prefix_type_error(arg);
    return false;
  }
  bool ok = true;
  while (PyObject* item = PyIter_Next(iter)) {
    uint64_t code = 0;
    ok = index_to_uint(item, std::numeric_limits<uint32_t>::max(), &code);
    Py_DECREF(item);
    if (!ok) break;
    out->push_back(static_cast<uint32_t>(code));
  }
  Py_DECREF(iter);
  if (ok && PyErr_Occurred()) ok = false;
  if (!ok) prefix_type_error(arg);
  return ok;
}

}  // namespace tarvane

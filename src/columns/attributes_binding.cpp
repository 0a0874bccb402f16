#include "attributes_binding.hpp"

#include <span>
#include <string_view>

#include "../data/attributes.hpp"
#include "../pysupport/args.hpp"
#include "../pysupport/gil.hpp"
#include "column_object.hpp"

namespace tarvane {

namespace {

// A C-contiguous buffer of one native item type, held for the call.
class TypedBuffer {
 public:
  TypedBuffer() = default;
  TypedBuffer(const TypedBuffer&) = delete;
  TypedBuffer& operator=(const TypedBuffer&) = delete;
  ~TypedBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }

  bool hold(PyObject* obj, const char* arg, char type, Py_ssize_t itemsize, const char* what) {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) return false;
    held_ = true;
    std::string_view f = view_.format == nullptr ? "B" : view_.format;
    if (!f.empty() && (f[0] == '=' || f[0] == '<' || f[0] == '@')) f.remove_prefix(1);
    if (view_.itemsize != itemsize || f.size() != 1 || f[0] != type) {
      PyErr_Format(PyExc_TypeError, "%s must be a buffer of %s", arg, what);
      return false;
    }
    return true;
  }

  template <typename T>
  std::span<const T> span() const {
    return {static_cast<const T*>(view_.buf), static_cast<size_t>(view_.len) / sizeof(T)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace

// -> (refers_to column of int32, marker_records, marker_operators).
PyObject* attributes_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[3];
  if (!collect_args("attributes", {"descriptor", "value", "subset"}, args, nargs, kwnames, a)) return nullptr;
  TypedBuffer descriptor, value, subset;
  if (!descriptor.hold(a[0], "descriptor", 'I', 4, "uint32") || !value.hold(a[1], "value", 'd', 8, "float64") ||
      !subset.hold(a[2], "subset", 'I', 4, "uint32")) {
    return nullptr;
  }
  const auto codes = descriptor.span<uint32_t>();
  if (value.span<double>().size() != codes.size() || subset.span<uint32_t>().size() != codes.size()) {
    PyErr_SetString(PyExc_ValueError, "descriptor, value and subset must have the same length");
    return nullptr;
  }
  AttributeColumns found;
  if (!without_gil([&] { found = find_attributes(codes, value.span<double>(), subset.span<uint32_t>()); })) {
    return nullptr;
  }
  PyObject* refers_to = wrap_column(std::move(found.refers_to), "i");
  PyObject* records = refers_to ? copy_to_column(found.marker_records, "I") : nullptr;
  PyObject* operators = records ? copy_to_column(found.marker_operators, "I") : nullptr;
  if (!operators) {
    Py_XDECREF(refers_to);
    Py_XDECREF(records);
    return nullptr;
  }
  return Py_BuildValue("(NNN)", refers_to, records, operators);
}

}  // namespace tarvane

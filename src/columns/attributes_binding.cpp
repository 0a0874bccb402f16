#include "attributes_binding.hpp"

#include <span>
#include <string_view>

#include "../data/attributes.hpp"
#include "../pysupport/args.hpp"
#include "../pysupport/buffer.hpp"
#include "../pysupport/gil.hpp"
#include "column_object.hpp"

namespace tarvane {

// -> (refers_to column of int32, marker_records, marker_operators).
PyObject* attributes_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[3];
  if (!collect_args("attributes", {"descriptor", "value", "subset"}, args, nargs, kwnames, a)) return nullptr;
  HeldBuffer descriptor, value, subset;
  if (!descriptor.hold_typed(a[0], "descriptor", 'I', 4, "uint32") || !value.hold_typed(a[1], "value", 'd', 8, "float64") ||
      !subset.hold_typed(a[2], "subset", 'I', 4, "uint32")) {
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

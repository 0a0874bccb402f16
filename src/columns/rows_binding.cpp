#include "rows_binding.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "../data/observations.hpp"
#include "../pysupport/args.hpp"
#include "../pysupport/buffer.hpp"
#include "../pysupport/gil.hpp"
#include "column_object.hpp"

namespace tarvane {

// -> a column of int64, keys entries per row.
PyObject* observation_rows_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[4];
  if (!collect_args("observation_rows", {"subset", "which", "coordinate", "keys"}, args, nargs, kwnames, a)) {
    return nullptr;
  }
  HeldBuffer subset, which, coordinate;
  if (!subset.hold_typed(a[0], "subset", 'I', 4, "uint32") || !which.hold_typed(a[1], "which", 'i', 4, "int32") ||
      !coordinate.hold_typed(a[2], "coordinate", 'i', 4, "int32")) {
    return nullptr;
  }
  const Py_ssize_t keys = PyNumber_AsSsize_t(a[3], PyExc_OverflowError);
  if (keys == -1 && PyErr_Occurred()) return nullptr;
  if (keys < 0) {
    PyErr_SetString(PyExc_ValueError, "keys must not be negative");
    return nullptr;
  }
  const size_t n = subset.span<uint32_t>().size();
  if (which.span<int32_t>().size() != n || coordinate.span<int32_t>().size() != n) {
    PyErr_SetString(PyExc_ValueError, "subset, which and coordinate must have the same length");
    return nullptr;
  }
  // The column is made inside the guard too: a failed allocation is a MemoryError.
  Column<int64_t> column;
  if (!without_gil([&] {
        const std::vector<int64_t> rows = observation_rows(subset.span<uint32_t>(), which.span<int32_t>(),
                                                           coordinate.span<int32_t>(), static_cast<size_t>(keys));
        column = Column<int64_t>::make(rows.size());
        std::copy(rows.begin(), rows.end(), column.data());
      })) {
    return nullptr;
  }
  return wrap_column(std::move(column), "q");
}

}  // namespace tarvane

// Pickling support for TableSet: the set travels as the core's byte form, so
// a worker process receives a loaded set instead of reading table files.
#include "table_pickle.hpp"

#include <string>
#include <vector>

#include "../pysupport/args.hpp"
#include "../pysupport/errors.hpp"
#include "../pysupport/gil.hpp"
#include "table_set_access.hpp"
#include "../tables/table_bytes.hpp"

namespace tarvane {

// dump_tables(tables) -> bytes.
PyObject* dump_tables(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!collect_args("dump_tables", {"tables"}, args, nargs, kwnames, a)) return nullptr;
  if (!arg_instance(a[0], "tables", columns_table_set_type(), "TableSet")) return nullptr;
  const TableSet& tables = table_set_of(a[0]);
  std::string bytes;
  if (!without_gil([&] { bytes = table_set_to_bytes(tables); })) return nullptr;
  return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

// load_tables(bytes) -> TableSet; ValueError when the bytes are not a set.
PyObject* load_tables(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!collect_args("load_tables", {"data"}, args, nargs, kwnames, a)) return nullptr;
  std::span<const uint8_t> bytes;
  if (!arg_bytes(a[0], "data", &bytes)) return nullptr;
  // The bytes object is held by the caller while the GIL is released.
  return load_table_set([&] { return table_set_from_bytes(bytes); });
}

// load_table_layers(pieces) -> TableSet: a sequence of byte forms, each
// inserted over the ones before it (a version's files, then its centre's).
PyObject* load_table_layers(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!collect_args("load_table_layers", {"pieces"}, args, nargs, kwnames, a)) return nullptr;
  // A tuple of its own: the caller's list could change while the GIL is released.
  PyObject* pieces = PySequence_Tuple(a[0]);
  if (!pieces) return nullptr;
  std::vector<std::span<const uint8_t>> spans(static_cast<size_t>(PyTuple_GET_SIZE(pieces)));
  for (size_t i = 0; i < spans.size(); ++i) {
    if (!arg_bytes(PyTuple_GET_ITEM(pieces, static_cast<Py_ssize_t>(i)), "pieces", &spans[i])) {
      Py_DECREF(pieces);
      return nullptr;
    }
  }
  PyObject* result = load_table_set([&]() -> Result<TableSet> {
    TableSet tables;
    for (std::span<const uint8_t> piece : spans) TARVANE_CHECK(add_table_bytes(tables, piece));
    return tables;
  });
  Py_DECREF(pieces);
  return result;
}

}  // namespace tarvane

// Pickling support for TableSet: the set travels as the core's byte form, so
// a worker process receives a loaded set instead of reading table files.
#include "table_pickle.hpp"

#include <string>

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

}  // namespace tarvane

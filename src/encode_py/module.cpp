// PyInit__encode: the package's way into the writer. Decoding, writing and
// assembling run with the GIL released.
#include <Python.h>

#include <optional>
#include <utility>
#include <vector>

#include "../encode/reencode.hpp"
#include "../pysupport/args.hpp"
#include "../pysupport/buffer.hpp"
#include "../pysupport/errors.hpp"
#include "../pysupport/gil.hpp"
#include "../pysupport/table_sets.hpp"
#include "header.hpp"
#include "values.hpp"

namespace tarvane {

namespace {

// TableSet, as the module _tarvane made it.
PyTypeObject* tables_type = nullptr;

bool arg_tables(PyObject* obj) { return arg_instance(obj, "tables", tables_type, "TableSet"); }

PyObject* bytes_of(Result<std::vector<uint8_t>>& out) {
  if (!out) return to_py_err(out.error());
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out->data()), static_cast<Py_ssize_t>(out->size()));
}

bool arg_subset(PyObject* obj, std::optional<size_t>* out) {
  if (obj == Py_None) return true;
  uint64_t s = 0;
  if (!arg_uint(obj, "subset", 65535, &s)) return false;
  *out = static_cast<size_t>(s);
  return true;
}

// reencode(buffer, tables, header, subset) -> bytes: one message decoded
// with tables and written with header; subset None, or the one subset
// (0-based) to write.
PyObject* reencode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[4];
  if (!collect_args("reencode", {"buffer", "tables", "header", "subset"}, args, nargs, kwnames, a)) return nullptr;
  HeldBuffer buf;
  if (!buf.hold(a[0], "buffer") || !arg_tables(a[1])) return nullptr;
  BufrMessage header;
  std::optional<size_t> subset;
  if (!header_from_tuple(a[2], &header) || !arg_subset(a[3], &subset)) return nullptr;
  const TableSet& tables = table_set_of(a[1]);
  Result<std::vector<uint8_t>> out = fail(BufrError::parse(""));
  if (!without_gil([&] { out = reencode_message(buf.span(), header, tables, subset); })) return nullptr;
  return bytes_of(out);
}

// reencode_as(buffer, tables, edition, compressed, subset) -> bytes: as
// reencode with the message's own section 1 fields and observed flag, in
// that edition (3 or 4) and form; a call costs no header tuple.
PyObject* reencode_as(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[5];
  if (!collect_args("reencode_as", {"buffer", "tables", "edition", "compressed", "subset"}, args, nargs, kwnames, a))
    return nullptr;
  HeldBuffer buf;
  uint64_t edition = 0, compressed = 0;
  std::optional<size_t> subset;
  if (!buf.hold(a[0], "buffer") || !arg_tables(a[1]) || !arg_uint(a[2], "edition", 255, &edition) ||
      !arg_uint(a[3], "compressed_data", 1, &compressed) || !arg_subset(a[4], &subset))
    return nullptr;
  const TableSet& tables = table_set_of(a[1]);
  Result<std::vector<uint8_t>> out = fail(BufrError::parse(""));
  if (!without_gil([&] {
        Result<BufrMessage> header = parse_message_any_edition(buf.span());
        if (!header) {
          out = fail(std::move(header.error()));
          return;
        }
        header->edition = static_cast<uint8_t>(edition);
        header->compressed_data = compressed != 0;
        out = reencode_message(buf.span(), *header, tables, subset);
      }))
    return nullptr;
  return bytes_of(out);
}

// encode(template, tables, subsets, header) -> bytes: subsets a list of
// dicts from plan index to value (see values.hpp).
PyObject* encode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[4];
  if (!collect_args("encode", {"template", "tables", "subsets", "header"}, args, nargs, kwnames, a)) return nullptr;
  std::vector<uint32_t> codes;
  if (!arg_codes(a[0], "template", &codes) || !arg_tables(a[1])) return nullptr;
  BufrMessage header;
  if (!header_from_tuple(a[3], &header)) return nullptr;
  std::vector<KeyedSubset> subsets;
  if (!subsets_from_python(a[2], &subsets)) return nullptr;
  const TableSet& tables = table_set_of(a[1]);
  Result<std::vector<uint8_t>> out = fail(BufrError::parse(""));
  if (!without_gil([&] { out = encode_keyed(codes, tables, subsets, header); })) return nullptr;
  return bytes_of(out);
}

// encode_records(template, tables, subsets, header) -> bytes: subsets a
// list of (descriptors, values), each subset's records in order.
PyObject* encode_records(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[4];
  if (!collect_args("encode_records", {"template", "tables", "subsets", "header"}, args, nargs, kwnames, a))
    return nullptr;
  std::vector<uint32_t> codes;
  if (!arg_codes(a[0], "template", &codes) || !arg_tables(a[1])) return nullptr;
  BufrMessage header;
  if (!header_from_tuple(a[3], &header)) return nullptr;
  std::vector<std::vector<ListedValue>> subsets;
  if (!listed_subsets_from_python(a[2], &subsets)) return nullptr;
  const TableSet& tables = table_set_of(a[1]);
  Result<std::vector<uint8_t>> out = fail(BufrError::parse(""));
  if (!without_gil([&] { out = encode_listed(codes, tables, subsets, header); })) return nullptr;
  return bytes_of(out);
}

// plan(template, tables) -> [(code, "#k#key" or None)]: the values the
// template takes, in the order encode's subsets index them.
// layout(template, tables) -> [(code, key, end)]: the same with the bitmap
// operators among them, and each delayed replication's end (0 elsewhere).
PyObject* plan_of(const char* name, bool operators, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!collect_args(name, {"template", "tables"}, args, nargs, kwnames, a)) return nullptr;
  std::vector<uint32_t> codes;
  if (!arg_codes(a[0], "template", &codes) || !arg_tables(a[1])) return nullptr;
  const TableSet& tables = table_set_of(a[1]);
  Result<TemplatePlan> p = fail(BufrError::parse(""));
  if (!without_gil([&] { p = plan_template(codes, tables, operators); })) return nullptr;
  if (!p) return to_py_err(p.error());
  return plan_to_python(*p, operators);
}

PyObject* plan(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return plan_of("plan", false, args, nargs, kwnames);
}

PyObject* layout(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return plan_of("layout", true, args, nargs, kwnames);
}

PyMethodDef functions[] = {
    {"reencode", fast_function<reencode>(), kFastCall, nullptr},
    {"reencode_as", fast_function<reencode_as>(), kFastCall, nullptr},
    {"encode", fast_function<encode>(), kFastCall, nullptr},
    {"plan", fast_function<plan>(), kFastCall, nullptr},
    {"layout", fast_function<layout>(), kFastCall, nullptr},
    {"encode_records", fast_function<encode_records>(), kFastCall, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_encode", "The package's access to the writer core.", -1, functions,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace tarvane

PyMODINIT_FUNC PyInit__encode() {
  using namespace tarvane;
  PyTypeObject* imported = imported_table_set_type();
  if (!imported) return nullptr;
  PyObject* type = reinterpret_cast<PyObject*>(imported);
  PyObject* module = PyModule_Create(&module_def);
  if (!module) {
    Py_DECREF(type);
    return nullptr;
  }
  // Kept for the life of the process, as the module's own reference.
  tables_type = reinterpret_cast<PyTypeObject*>(type);
  return module;
}

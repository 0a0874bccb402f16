// PyInit__columns: the reading layer's way into the core. Messages of either
// edition are found, parsed and decoded into columns here; decoding and
// table loading run with the GIL released.
#include <Python.h>

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "../data/block_cache.hpp"
#include "../data/to_columns.hpp"
#include "../message/message.hpp"
#include "../message/scan.hpp"
#include "../tables/loaders.hpp"
#include "../pysupport/args.hpp"
#include "../pysupport/buffer.hpp"
#include "../pysupport/convert.hpp"
#include "../pysupport/errors.hpp"
#include "../pysupport/gil.hpp"
#include "../pysupport/table_sets.hpp"
#include "attributes_binding.hpp"
#include "column_object.hpp"
#include "data_binding.hpp"
#include "framing.hpp"
#include "rows_binding.hpp"
#include "table_set_access.hpp"
#include "table_pickle.hpp"

namespace tarvane {

// The reading layer's texts where the core's are _tarvane's own: it reads
// editions 3 and 4, and a failure while decoding is one of section 4.
PyObject* reading_error(const BufrError& error) {
  std::string text;
  if (error.kind == ErrorKind::UnsupportedEdition) {
    text = "unsupported BUFR edition " + std::to_string(error.edition) + "; editions 3 and 4 are read";
  } else if (error.kind == ErrorKind::Parse) {
    text = "section 4: " + error.message;
  } else {
    return to_py_err(error);
  }
  PyObject* message = text_to_py(text);
  if (message) {
    PyErr_SetObject(PyExc_ValueError, message);
    Py_DECREF(message);
  }
  return nullptr;
}

// The exception decode() would raise for error, as an object.
PyObject* error_object(const BufrError& error) {
  Py_XDECREF(reading_error(error));
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
#endif
}

namespace {

// TableSet, as the module _tarvane made it: sets are passed in and made here.
PyTypeObject* tables_type = nullptr;

PyObject* py_bool(bool b) { return Py_NewRef(b ? Py_True : Py_False); }

// parse(buffer) -> header tuple: the buffer must be exactly one message of
// edition 3 or 4.
PyObject* parse(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!collect_args("parse", {"buffer"}, args, nargs, kwnames, a)) return nullptr;
  HeldBuffer buf;
  if (!buf.hold(a[0], "buffer")) return nullptr;
  Result<BufrMessage> m = parse_message_any_edition(buf.span());
  if (!m) return reading_error(m.error());
  return header_tuple(*m);
}

// next_piece(buffer, start) -> (offset, length, problem or None, needs_more)
// or None when no marker is left.
PyObject* next_piece_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!collect_args("next_piece", {"buffer", "start"}, args, nargs, kwnames, a)) return nullptr;
  HeldBuffer buf;
  if (!buf.hold(a[0], "buffer")) return nullptr;
  const Py_ssize_t start = PyNumber_AsSsize_t(a[1], PyExc_OverflowError);
  if (start == -1 && PyErr_Occurred()) return nullptr;
  if (start < 0) {
    PyErr_SetString(PyExc_ValueError, "start must not be negative");
    return nullptr;
  }
  const Piece piece = next_piece(buf.span(), static_cast<size_t>(start));
  if (piece.offset == Piece::kNone) Py_RETURN_NONE;
  PyObject* problem =
      piece.problem.empty() ? Py_NewRef(Py_None) : PyUnicode_FromStringAndSize(piece.problem.data(), piece.problem.size());
  if (!problem) return nullptr;
  return Py_BuildValue("(nnNNn)", static_cast<Py_ssize_t>(piece.offset), static_cast<Py_ssize_t>(piece.length),
                       problem, py_bool(piece.needs_more), static_cast<Py_ssize_t>(piece.declared_length));
}

PyObject* str_list(const std::vector<std::string>& items) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
  if (!list) return nullptr;
  for (size_t i = 0; i < items.size(); ++i) {
    PyObject* s = text_to_py(items[i]);
    if (!s) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), s);
  }
  return list;
}

bool arg_table_set(PyObject* obj, const char* arg) {
  if (PyObject_TypeCheck(obj, tables_type)) return true;
  PyErr_Format(PyExc_TypeError, "%s must be a TableSet, not %.100s", arg, Py_TYPE(obj)->tp_name);
  return false;
}

// Each decoding thread keeps the record list of its last uncompressed
// message for the next one, up to this many records (about 14 MiB).
constexpr size_t kScratchRecords = size_t{1} << 18;
thread_local DecodeResult scratch;

// The compressed layout's positions, or None for a column of records.
PyObject* positions_or_none(const MessageColumns& c) {
  if (!c.compressed) return Py_NewRef(Py_None);
  return copy_to_column(c.positions, "I");
}

template <typename T>
PyObject* column_or_none(Column<T>& column, bool present, const char* format) {
  if (!present) return Py_NewRef(Py_None);
  return wrap_column(std::move(column), format);
}

// The storage of the value columns, for the life of the process: a reader's
// pool decodes on its threads while the reader drops the columns on its
// own, and the allocator would give those blocks back to the system, to be
// faulted in again for the next message. At most 64 MiB is kept. Never
// destroyed: a column may outlive the module.
BlockCache* block_cache() {
  static BlockCache* cache = new BlockCache(size_t{64} << 20);
  return cache;
}

StorageSource* column_blocks() {
  // A child forked while a pool thread held the cache's lock would wait on
  // it for ever: the forking thread holds it across the fork instead.
  static const bool held = (hold_lock_across_fork<block_cache>(), true);
  (void)held;
  return block_cache();
}

// Decodes one message with the thread's scratch; runs without the GIL.
Result<MessageColumns> decode_message(std::span<const uint8_t> octets, const TableSet& tables, bool full) {
  Result<BufrMessage> m = parse_message_any_edition(octets);
  if (!m) return fail(std::move(m.error()));
  return decode_columns(*m, tables, section4_payload(*m, octets), scratch, full, column_blocks());
}

// Kept for the thread's next message, unless one large message made it
// large (or it failed to grow): that memory goes back.
void trim_scratch(bool ran) {
  if (!ran || scratch.values.capacity() > kScratchRecords) scratch = DecodeResult{};
}

// The decoded columns as decode() returns them.
PyObject* parts_tuple(MessageColumns& c, bool full) {
  constexpr Py_ssize_t kParts = 11;
  PyObject* parts[kParts] = {
      PyLong_FromUnsignedLong(c.subsets),
      column_or_none(c.subset, !c.compressed, "I"),
      column_or_none(c.descriptor, !c.compressed, "I"),
      wrap_column(std::move(c.value), "d"),
      column_or_none(c.raw, full, "Q"),
      copy_to_column(c.text_records, "I"),
      str_list(c.texts),
      copy_to_column(c.meaning_records, "I"),
      copy_to_column(c.meaning_ids, "I"),
      str_list(c.meanings),
      positions_or_none(c),
  };
  PyObject* result = PyTuple_New(kParts);
  for (Py_ssize_t i = 0; i < kParts; ++i) {
    if (!parts[i] || !result) {
      for (PyObject* p : parts) Py_XDECREF(p);
      Py_XDECREF(result);
      return nullptr;
    }
  }
  for (Py_ssize_t i = 0; i < kParts; ++i) PyTuple_SET_ITEM(result, i, parts[i]);
  return result;
}

// decode(buffer, tables, full) -> (subsets, subset, descriptor, value, raw,
// text_records, texts, meaning_records, meaning_ids, meanings, positions).
// Compressed data leave subset and descriptor None and give positions (the
// descriptor of each place of a subset); raw is None and the meanings are
// empty unless full.
PyObject* decode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[3];
  if (!collect_args("decode", {"buffer", "tables", "full"}, args, nargs, kwnames, a)) return nullptr;
  HeldBuffer buf;
  if (!buf.hold(a[0], "buffer")) return nullptr;
  if (!arg_table_set(a[1], "tables")) return nullptr;
  const int full = PyObject_IsTrue(a[2]);
  if (full < 0) return nullptr;
  // The caller's references keep both the buffer's exporter and the tables
  // alive while the GIL is released; the tables are never changed after
  // loading.
  const TableSet& tables = table_set_of(a[1]);
  Result<MessageColumns> decoded = fail(BufrError::parse(""));
  const bool ran = without_gil([&] { decoded = decode_message(buf.span(), tables, full != 0); });
  trim_scratch(ran);
  if (!ran) return nullptr;
  if (!decoded) return reading_error(decoded.error());
  return parts_tuple(*decoded, full != 0);
}

// decode_many(buffers, tables, full) -> list: decode() of buffers[i] with
// tables[i] for each i, the GIL released once for all of them (a reader's
// pool hands a worker many small messages at a time). Each item is the
// tuple decode() returns or the ValueError it would raise.
PyObject* decode_many(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[3];
  if (!collect_args("decode_many", {"buffers", "tables", "full"}, args, nargs, kwnames, a)) return nullptr;
  if (!PyList_Check(a[0]) || !PyList_Check(a[1]) || PyList_GET_SIZE(a[0]) != PyList_GET_SIZE(a[1])) {
    PyErr_SetString(PyExc_TypeError, "buffers and tables must be lists of one length");
    return nullptr;
  }
  const int full = PyObject_IsTrue(a[2]);
  if (full < 0) return nullptr;
  const size_t n = static_cast<size_t>(PyList_GET_SIZE(a[0]));
  // The lists' items are held by the caller's lists, which it cannot change
  // while this call holds them: the GIL is released only below.
  std::vector<HeldBuffer> buffers(n);
  std::vector<const TableSet*> tables(n);
  for (size_t i = 0; i < n; ++i) {
    const auto at = static_cast<Py_ssize_t>(i);
    if (!buffers[i].hold(PyList_GET_ITEM(a[0], at), "buffers item")) return nullptr;
    if (!arg_table_set(PyList_GET_ITEM(a[1], at), "tables item")) return nullptr;
    tables[i] = &table_set_of(PyList_GET_ITEM(a[1], at));
  }
  std::vector<Result<MessageColumns>> decoded;
  decoded.reserve(n);
  const bool ran = without_gil([&] {
    for (size_t i = 0; i < n; ++i) {
      decoded.push_back(decode_message(buffers[i].span(), *tables[i], full != 0));
      trim_scratch(true);
    }
  });
  trim_scratch(ran);
  if (!ran) return nullptr;
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
  if (!list) return nullptr;
  for (size_t i = 0; i < n; ++i) {
    PyObject* item = decoded[i] ? parts_tuple(*decoded[i], full != 0) : error_object(decoded[i].error());
    if (!item) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

// index_descriptors(column) -> (codes list, index column of int32).
PyObject* index_descriptors_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!collect_args("index_descriptors", {"descriptors"}, args, nargs, kwnames, a)) return nullptr;
  Py_buffer view;
  if (PyObject_GetBuffer(a[0], &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) return nullptr;
  if (view.itemsize != 4 || view.format == nullptr || (std::string(view.format) != "I" && std::string(view.format) != "=I" &&
                                                       std::string(view.format) != "<I")) {
    PyBuffer_Release(&view);
    PyErr_SetString(PyExc_TypeError, "descriptors must be a buffer of uint32");
    return nullptr;
  }
  std::span<const uint32_t> codes(static_cast<const uint32_t*>(view.buf), static_cast<size_t>(view.len / 4));
  DescriptorIndex index;
  const bool ran = without_gil([&] { index = index_descriptors(codes); });
  PyBuffer_Release(&view);
  if (!ran) return nullptr;
  PyObject* list = codes_to_list(index.codes);
  if (!list) return nullptr;
  PyObject* column = wrap_column(std::move(index.index), "i");
  if (!column) {
    Py_DECREF(list);
    return nullptr;
  }
  return Py_BuildValue("(NN)", list, column);
}

// load_definitions(root, master_table_number, master_version, local_version,
// centre, subcentre) -> TableSet: the tables an ecCodes definitions root
// gives a message with these section 1 fields (of either edition).
PyObject* load_definitions(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[6];
  if (!collect_args("load_definitions",
                    {"root", "master_table_number", "master_version", "local_version", "centre", "subcentre"}, args,
                    nargs, kwnames, a)) {
    return nullptr;
  }
  std::string root;
  if (!arg_str(a[0], "root", &root)) return nullptr;
  uint64_t fields[5];
  const uint64_t bounds[5] = {255, 255, 255, 65535, 65535};
  const char* names[5] = {"master_table_number", "master_version", "local_version", "centre", "subcentre"};
  for (int i = 0; i < 5; ++i) {
    if (!arg_uint(a[i + 1], names[i], bounds[i], &fields[i])) return nullptr;
  }
  BufrMessage m;
  m.master_table_number = static_cast<uint8_t>(fields[0]);
  m.master_tables_version_number = static_cast<uint8_t>(fields[1]);
  m.local_tables_version_number = static_cast<uint8_t>(fields[2]);
  m.originating_centre = static_cast<uint16_t>(fields[3]);
  m.originating_subcentre = static_cast<uint16_t>(fields[4]);
  return load_table_set([&] { return from_eccodes_definitions(root, m); });
}

PyMethodDef functions[] = {
    {"parse", fast_function<parse>(), kFastCall, nullptr},
    {"next_piece", fast_function<next_piece_py>(), kFastCall, nullptr},
    {"frame", fast_function<frame_py>(), kFastCall, nullptr},
    {"message_type", fast_function<message_type_py>(), kFastCall, nullptr},
    {"data_types", fast_function<data_types_py>(), kFastCall, nullptr},
    {"new_data", fast_function<new_data_py>(), kFastCall, nullptr},
    {"decode", fast_function<decode>(), kFastCall, nullptr},
    {"decode_many", fast_function<decode_many>(), kFastCall, nullptr},
    {"index_descriptors", fast_function<index_descriptors_py>(), kFastCall, nullptr},
    {"attributes", fast_function<attributes_py>(), kFastCall, nullptr},
    {"observation_rows", fast_function<observation_rows_py>(), kFastCall, nullptr},
    {"load_definitions", fast_function<load_definitions>(), kFastCall, nullptr},
    {"dump_tables", fast_function<dump_tables>(), kFastCall, nullptr},
    {"load_tables", fast_function<load_tables>(), kFastCall, nullptr},
    {"load_table_layers", fast_function<load_table_layers>(), kFastCall, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_columns", "The reading layer's access to the decoder core.", -1, functions,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyTypeObject* columns_table_set_type() { return tables_type; }
void set_columns_table_set_type(PyTypeObject* type) { tables_type = type; }

}  // namespace tarvane

PyMODINIT_FUNC PyInit__columns() {
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
  set_columns_table_set_type(tables_type);
  if (PyModule_AddObjectRef(module, "TableSet", type) < 0 || init_column_type(module) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}

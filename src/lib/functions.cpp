// The module functions: parsing messages, expanding descriptors and decoding
// section 4. Each converts its arguments in order, calls the core and wraps
// the result; a failure raises and returns nothing partial.
#include <string>
#include <vector>

#include "../data/decode.hpp"
#include "../fileio.hpp"
#include "../message/split.hpp"
#include "../tables/expand.hpp"
#include "../tables/loaders.hpp"
#include "../pysupport/args.hpp"
#include "classes.hpp"
#include "../pysupport/errors.hpp"
#include "functions.hpp"

namespace tarvane {

namespace {

using Bytes = std::span<const uint8_t>;

PyObject* parse_one(Bytes data) {
  Result<BufrMessage> message = parse_message(data);
  if (!message) return to_py_err(message.error());
  return wrap_message(std::move(*message));
}

PyObject* parse_all(Bytes data) {
  Result<std::vector<Bytes>> pieces = split_messages(data);
  if (!pieces) return to_py_err(pieces.error());
  // Each object is made as its piece is parsed: a list of parsed records
  // first would be fresh memory on every call for a large file. The first
  // piece that fails still fails the whole call.
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(pieces->size()));
  if (!list) return nullptr;
  // The pieces are known: fetching the head and the end of a piece a few
  // ahead hides the cache and TLB misses that one piece at a time would wait
  // for in a large file.
  constexpr size_t kAhead = 8;
  for (size_t i = 0; i < pieces->size(); ++i) {
    if (i + kAhead < pieces->size()) {
      Bytes ahead = (*pieces)[i + kAhead];
      __builtin_prefetch(ahead.data());
      __builtin_prefetch(ahead.data() + ahead.size() - 1);
    }
    Result<BufrMessage> message = parse_message((*pieces)[i]);
    PyObject* obj = message ? wrap_message(std::move(*message)) : to_py_err(message.error());
    if (!obj) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), obj);
  }
  return list;
}

// The named file, or false with OSError (ValueError for a failure that is
// not the system's).
bool named_file(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* fn, bool whole,
                FileBytes* out) {
  PyObject* argv[1];
  std::string path;
  if (!collect_args(fn, {"path"}, args, nargs, kwnames, argv) || !arg_str(argv[0], "path", &path)) return false;
  // One message is at most kMaxMessageLength bytes: a larger regular file is
  // judged by its first 8 bytes and its size, unread.
  Result<FileBytes> content = whole ? read_whole_file(path, kMaxStreamBytes) : read_file_head(path, kMaxMessageLength, 8);
  if (!content) {
    to_os_err(content.error());
    return false;
  }
  *out = std::move(*content);
  return true;
}

// The first message of data, framed among all of them, then parsed.
struct FirstMessage {
  Bytes bytes;
  BufrMessage message;
};

Result<FirstMessage> first_message(Bytes data) {
  TARVANE_TRY(Bytes first, first_message_slice(data));
  if (first.empty()) return fail(BufrError::missing_marker());
  TARVANE_TRY(BufrMessage message, parse_message(first));
  return FirstMessage{first, std::move(message)};
}

// Decodes with tables that stay alive until the values are Python objects;
// strs is the tables' str cache, or nullptr for tables of this call alone.
PyObject* decode_with(const FirstMessage& first, const TableSet& tables, StrCache* strs = nullptr) {
  Result<DecodeResult> values =
      decode_uncompressed_values(first.message, tables, section4_payload(first.message, first.bytes));
  if (!values) return to_py_err(values.error());
  return decoded_values_to_list(*values, strs);
}

}  // namespace

PyObject* fn_parse_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  Bytes data;
  if (!collect_args("parse_bytes", {"data"}, args, nargs, kwnames, argv) || !arg_bytes(argv[0], "data", &data))
    return nullptr;
  return parse_one(data);
}

PyObject* fn_parse_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  FileBytes content;
  if (!named_file(args, nargs, kwnames, "parse_file", false, &content)) return nullptr;
  Bytes bytes = content.bytes();
  if (content.file_size() > bytes.size() && bytes.size() >= 8) {
    return to_py_err(oversized_message_error(bytes, content.file_size()));
  }
  return parse_one(bytes);
}

PyObject* fn_parse_all_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  Bytes data;
  if (!collect_args("parse_all_bytes", {"data"}, args, nargs, kwnames, argv) || !arg_bytes(argv[0], "data", &data))
    return nullptr;
  return parse_all(data);
}

PyObject* fn_parse_all_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  FileBytes content;
  if (!named_file(args, nargs, kwnames, "parse_all_file", true, &content)) return nullptr;
  return parse_all(content.bytes());
}

PyObject* fn_expand_descriptors(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[2];
  std::string table_dir;
  std::vector<uint32_t> codes;
  if (!collect_args("expand_descriptors", {"table_dir", "descriptors"}, args, nargs, kwnames, argv) ||
      !arg_str(argv[0], "table_dir", &table_dir) || !arg_codes(argv[1], "descriptors", &codes))
    return nullptr;
  Result<TableSet> tables = from_eccodes_dir(table_dir);
  if (!tables) return to_py_err(tables.error());
  Result<std::vector<uint32_t>> expanded = expand_descriptors(*tables, codes);
  if (!expanded) return to_py_err(expanded.error());
  return codes_to_list(*expanded);
}

PyObject* fn_decode_values(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[2];
  Bytes data;
  std::string table_dir;
  if (!collect_args("decode_values", {"data", "table_dir"}, args, nargs, kwnames, argv) ||
      !arg_bytes(argv[0], "data", &data) || !arg_str(argv[1], "table_dir", &table_dir))
    return nullptr;
  Result<FirstMessage> first = first_message(data);
  if (!first) return to_py_err(first.error());
  Result<TableSet> tables = from_eccodes_dir(table_dir);
  if (!tables) return to_py_err(tables.error());
  return decode_with(*first, *tables);
}

PyObject* fn_decode_values_with_tables(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[2];
  Bytes data;
  PyTypeObject* type = table_set_type();
  if (!type) return nullptr;
  if (!collect_args("decode_values_with_tables", {"data", "tables"}, args, nargs, kwnames, argv) ||
      !arg_bytes(argv[0], "data", &data) || !arg_instance(argv[1], "tables", type, "TableSet"))
    return nullptr;
  Result<FirstMessage> first = first_message(data);
  if (!first) return to_py_err(first.error());
  StrCache* strs = table_set_strs(argv[1]);
  if (!strs) return nullptr;
  return decode_with(*first, table_set_of(argv[1]), strs);
}

PyObject* fn_decode_values_with_definitions(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[2];
  Bytes data;
  std::string root;
  if (!collect_args("decode_values_with_definitions", {"data", "definitions_root"}, args, nargs, kwnames, argv) ||
      !arg_bytes(argv[0], "data", &data) || !arg_str(argv[1], "definitions_root", &root))
    return nullptr;
  Result<FirstMessage> first = first_message(data);
  if (!first) return to_py_err(first.error());
  Result<TableSet> tables = from_eccodes_definitions(root, first->message);
  if (!tables) return to_py_err(tables.error());
  return decode_with(*first, *tables);
}

}  // namespace tarvane

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
#include "args.hpp"
#include "classes.hpp"
#include "errors.hpp"
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
  // Every piece is parsed before any object is made: one bad piece fails the
  // whole call.
  std::vector<BufrMessage> messages;
  messages.reserve(pieces->size());
  for (Bytes piece : *pieces) {
    Result<BufrMessage> message = parse_message(piece);
    if (!message) return to_py_err(message.error());
    messages.push_back(std::move(*message));
  }
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(messages.size()));
  if (!list) return nullptr;
  for (size_t i = 0; i < messages.size(); ++i) {
    PyObject* obj = wrap_message(std::move(messages[i]));
    if (!obj) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), obj);
  }
  return list;
}

bool read_named_file(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* fn,
                     std::vector<uint8_t>* out) {
  PyObject* argv[1];
  std::string path;
  if (!collect_args(fn, {"path"}, args, nargs, kwnames, argv) || !arg_str(argv[0], "path", &path)) return false;
  Result<std::vector<uint8_t>> content = read_file(path);
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
  TARVANE_TRY(std::vector<Bytes> pieces, split_messages(data));
  if (pieces.empty()) return fail(BufrError::missing_marker());
  TARVANE_TRY(BufrMessage message, parse_message(pieces.front()));
  return FirstMessage{pieces.front(), std::move(message)};
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
  std::vector<uint8_t> content;
  if (!read_named_file(args, nargs, kwnames, "parse_file", &content)) return nullptr;
  return parse_one(content);
}

PyObject* fn_parse_all_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  Bytes data;
  if (!collect_args("parse_all_bytes", {"data"}, args, nargs, kwnames, argv) || !arg_bytes(argv[0], "data", &data))
    return nullptr;
  return parse_all(data);
}

PyObject* fn_parse_all_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<uint8_t> content;
  if (!read_named_file(args, nargs, kwnames, "parse_all_file", &content)) return nullptr;
  return parse_all(content);
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

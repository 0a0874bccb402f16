// TableSet: Table B, Table D and code tables, loaded by the static methods
// and read by the queries.
#include <string>

#include "../tables/expand.hpp"
#include "../tables/loaders.hpp"
#include "../pysupport/args.hpp"
#include "classes.hpp"
#include "../pysupport/errors.hpp"
#include "../pysupport/table_set_layout_internal.hpp"

namespace tarvane {

namespace {

TableSetObject* as_table_set(PyObject* obj) { return reinterpret_cast<TableSetObject*>(obj); }

PyObject* table_set_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* unused[1];
  if (!collect_args("TableSet", {}, args, kwargs, unused)) return nullptr;
  return new_table_set_object(type, TableSet{});
}

void table_set_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete_str_cache(as_table_set(self)->strs);
  as_table_set(self)->tables.~TableSet();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* loaded(Result<TableSet> result) {
  if (!result) return to_py_err(result.error());
  return wrap_table_set(std::move(*result));
}

PyObject* from_eccodes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  std::string path;
  if (!collect_args("TableSet.from_eccodes", {"path"}, args, nargs, kwnames, argv)) return nullptr;
  if (!arg_str(argv[0], "path", &path)) return nullptr;
  return loaded(from_eccodes_dir(path));
}

PyObject* from_bufr4_45_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  std::string path;
  if (!collect_args("TableSet.from_bufr4_45", {"path"}, args, nargs, kwnames, argv)) return nullptr;
  if (!arg_str(argv[0], "path", &path)) return nullptr;
  return loaded(from_bufr4_45(path));
}

PyObject* from_definitions(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[2];
  std::string path;
  if (!collect_args("TableSet.from_definitions", {"path", "message"}, args, nargs, kwnames, argv)) return nullptr;
  if (!arg_str(argv[0], "path", &path)) return nullptr;
  PyTypeObject* type = message_type();
  if (!type || !arg_instance(argv[1], "message", type, "BufrMessage")) return nullptr;
  return loaded(from_eccodes_definitions(path, message_of(argv[1])));
}

PyObject* get_element(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  uint32_t code;
  if (!collect_args("TableSet.get_element", {"code"}, args, nargs, kwnames, argv)) return nullptr;
  if (!arg_u32(argv[0], "code", &code)) return nullptr;
  const ElementDefinition* def = as_table_set(self)->tables.find_element(code);
  if (!def) Py_RETURN_NONE;
  return wrap_element(*def);
}

PyObject* get_sequence(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  uint32_t code;
  if (!collect_args("TableSet.get_sequence", {"code"}, args, nargs, kwnames, argv)) return nullptr;
  if (!arg_u32(argv[0], "code", &code)) return nullptr;
  const SequenceDefinition* def = as_table_set(self)->tables.find_sequence(code);
  if (!def) Py_RETURN_NONE;
  return wrap_sequence(*def);
}

PyObject* get_meaning(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[2];
  uint32_t code;
  uint64_t raw;
  if (!collect_args("TableSet.get_meaning", {"code", "raw"}, args, nargs, kwnames, argv)) return nullptr;
  if (!arg_u32(argv[0], "code", &code) || !arg_u64(argv[1], "raw", &raw)) return nullptr;
  const std::string* meaning = as_table_set(self)->tables.code_meaning(code, raw);
  if (!meaning) Py_RETURN_NONE;
  return text_to_py(*meaning);
}

PyObject* expand(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  std::vector<uint32_t> codes;
  if (!collect_args("TableSet.expand", {"descriptors"}, args, nargs, kwnames, argv)) return nullptr;
  if (!arg_codes(argv[0], "descriptors", &codes)) return nullptr;
  Result<std::vector<uint32_t>> expanded = expand_descriptors(as_table_set(self)->tables, codes);
  if (!expanded) return to_py_err(expanded.error());
  return codes_to_list(*expanded);
}

PyObject* get_element_count(PyObject* self, void*) {
  return PyLong_FromSize_t(as_table_set(self)->tables.elements.size());
}

PyObject* get_sequence_count(PyObject* self, void*) {
  return PyLong_FromSize_t(as_table_set(self)->tables.sequences.size());
}

PyObject* table_set_repr(PyObject* self) {
  const TableSet& t = as_table_set(self)->tables;
  std::string text =
      "TableSet(elements=" + std::to_string(t.elements.size()) + ", sequences=" + std::to_string(t.sequences.size()) + ")";
  return text_to_py(text);
}

PyMethodDef table_set_methods[] = {
    {"get_element", fast_function<get_element>(), kFastCall, "get_element($self, code)\n--\n\n"},
    {"get_sequence", fast_function<get_sequence>(), kFastCall, "get_sequence($self, code)\n--\n\n"},
    {"get_meaning", fast_function<get_meaning>(), kFastCall, "get_meaning($self, code, raw)\n--\n\n"},
    {"expand", fast_function<expand>(), kFastCall, "expand($self, descriptors)\n--\n\n"},
    {"from_eccodes", fast_function<from_eccodes>(), kFastCall | METH_STATIC, "from_eccodes(path)\n--\n\n"},
    {"from_bufr4_45", fast_function<from_bufr4_45_method>(), kFastCall | METH_STATIC, "from_bufr4_45(path)\n--\n\n"},
    {"from_definitions", fast_function<from_definitions>(), kFastCall | METH_STATIC, "from_definitions(path, message)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef table_set_getset[] = {
    {"element_count", get_element_count, nullptr, nullptr, nullptr},
    {"sequence_count", get_sequence_count, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot table_set_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(table_set_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(table_set_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(table_set_repr)},
    {Py_tp_methods, table_set_methods},
    {Py_tp_getset, table_set_getset},
    {Py_tp_doc, const_cast<char*>("TableSet()\n--\n\n")},
    {0, nullptr},
};

// Subclassable: the decoding functions accept instances of subclasses.
PyType_Spec table_set_spec = {"tarvane._tarvane.TableSet", sizeof(TableSetObject), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, table_set_slots};

}  // namespace

PyTypeObject* table_set_type() {
  static PyTypeObject* type = nullptr;
  if (!type) type = make_type(&table_set_spec);
  return type;
}

PyObject* wrap_table_set(TableSet tables) {
  PyTypeObject* type = table_set_type();
  if (!type) return nullptr;
  return new_table_set_object(type, std::move(tables));
}

StrCache* table_set_strs(PyObject* obj) {
  TableSetObject* t = as_table_set(obj);
  if (!t->strs) t->strs = new_str_cache();
  return t->strs;
}

}  // namespace tarvane

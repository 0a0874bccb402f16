#include "data_binding.hpp"

#include <array>
#include <utility>

#include "../pysupport/args.hpp"
#include "slotted.hpp"

namespace tarvane {

namespace {

// The slots each class has, in the order new_data() fills them.
constexpr std::array<const char*, 19> kPartsSlots = {
    "subsets", "records", "_columns", "_arrays", "_positions", "_source", "_full", "text_records", "texts",
    "meaning_records", "meaning_ids", "meanings", "_text", "_meaning", "_elements", "_attributes",
    "attribute_names", "ranked", "element_tables",
};
constexpr std::array<const char*, 7> kDataSlots = {
    "message", "tables", "tables_used", "_parts", "_start", "_stop", "_subset_number",
};
// decode()'s tuple: (subsets, subset, descriptor, value, raw, text_records,
// texts, meaning_records, meaning_ids, meanings, positions).
constexpr Py_ssize_t kDecodedItems = 11;
// The column names of _Parts._columns, and the items of decoded they are.
constexpr std::array<const char*, 4> kColumnNames = {"subset", "descriptor", "value", "raw"};

SlottedClass parts_class;
SlottedClass data_class;
std::array<PyObject*, 4> column_names = {};  // interned, for the life of the process

PyObject* columns_dict(PyObject* const* decoded) {
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  for (size_t i = 0; i < column_names.size(); ++i) {
    if (PyDict_SetItem(dict, column_names[i], decoded[1 + i]) < 0) {
      Py_DECREF(dict);
      return nullptr;
    }
  }
  return dict;
}

}  // namespace

PyObject* data_types_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!collect_args("data_types", {"parts_cls", "data_cls"}, args, nargs, kwnames, a)) return nullptr;
  for (size_t i = 0; i < column_names.size(); ++i) {
    if (column_names[i] == nullptr && (column_names[i] = PyUnicode_InternFromString(kColumnNames[i])) == nullptr) {
      return nullptr;
    }
  }
  // Every slot is filled: a slot added to a class and not here would be
  // unset on the objects new_data makes.
  for (auto [cls, count] : {std::pair{a[0], kPartsSlots.size()}, std::pair{a[1], kDataSlots.size()}}) {
    PyObject* slots = PyType_Check(cls) ? PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(cls)->tp_dict, "__slots__")
                                        : nullptr;
    if (slots == nullptr || !PyTuple_Check(slots) || static_cast<size_t>(PyTuple_GET_SIZE(slots)) != count) {
      PyErr_SetString(PyExc_TypeError, "data_types takes the classes whose every slot new_data fills");
      return nullptr;
    }
  }
  if (!parts_class.bind_names(a[0], kPartsSlots) || !data_class.bind_names(a[1], kDataSlots)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* new_data_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[5];
  if (!collect_args("new_data", {"message", "octets", "tables", "decoded", "tables_used"}, args, nargs, kwnames, a)) {
    return nullptr;
  }
  if (!parts_class.bound()) {
    PyErr_SetString(PyExc_RuntimeError, "new_data needs data_types first");
    return nullptr;
  }
  if (!PyTuple_CheckExact(a[3]) || PyTuple_GET_SIZE(a[3]) != kDecodedItems) {
    PyErr_SetString(PyExc_TypeError, "decoded must be the tuple decode() returns");
    return nullptr;
  }
  PyObject* const* decoded = reinterpret_cast<PyTupleObject*>(a[3])->ob_item;
  PyObject* value = decoded[3];
  const Py_ssize_t length = PyObject_Length(value);
  if (length < 0) return nullptr;
  PyObject* records = PyLong_FromSsize_t(length);
  PyObject* columns = records ? columns_dict(decoded) : nullptr;
  PyObject* source = columns ? PyTuple_Pack(2, a[1], a[2]) : nullptr;
  PyObject* parts = nullptr;
  if (source != nullptr) {
    PyObject* const full = decoded[4] != Py_None ? Py_True : Py_False;
    PyObject* const values[kPartsSlots.size()] = {
        decoded[0], records, columns, Py_None, decoded[10], source, full, decoded[5], decoded[6],
        decoded[7], decoded[8], decoded[9], Py_None, Py_None, Py_None, Py_None,
        Py_None, Py_None, Py_None,
    };
    parts = parts_class.make(values);
  }
  PyObject* data = nullptr;
  if (parts != nullptr) {
    static PyObject* const zero = PyLong_FromLong(0);  // a small int: immortal
    PyObject* const values[kDataSlots.size()] = {a[0], a[2], a[4], parts, zero, records, Py_None};
    data = data_class.make(values);
  }
  Py_XDECREF(records);
  Py_XDECREF(columns);
  Py_XDECREF(source);
  Py_XDECREF(parts);
  return data;
}

}  // namespace tarvane

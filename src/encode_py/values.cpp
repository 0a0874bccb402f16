#include "values.hpp"

#include <cmath>

#include "../pysupport/args.hpp"
#include "../pysupport/convert.hpp"

namespace tarvane {

namespace {

constexpr int kMaxNesting = 64;

bool value_from_python(PyObject* obj, KeyValue* out, int depth) {
  if (obj == Py_None) {
    out->kind = KeyValue::Kind::Missing;
    return true;
  }
  if (PyUnicode_Check(obj)) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
    if (!s) return false;
    out->kind = KeyValue::Kind::Text;
    out->text.assign(s, static_cast<size_t>(n));
    return true;
  }
  if (PyBytes_Check(obj)) {
    out->kind = KeyValue::Kind::Text;
    out->text.assign(PyBytes_AS_STRING(obj), static_cast<size_t>(PyBytes_GET_SIZE(obj)));
    return true;
  }
  if (PyList_Check(obj) || PyTuple_Check(obj)) {
    if (depth >= kMaxNesting) {
      PyErr_SetString(PyExc_ValueError, "values nested deeper than the template's replications can be");
      return false;
    }
    PyObject* items = PySequence_Fast(obj, "a list");
    if (!items) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items);
    out->kind = KeyValue::Kind::List;
    out->items.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!value_from_python(PySequence_Fast_GET_ITEM(items, i), &out->items[static_cast<size_t>(i)], depth + 1)) {
        Py_DECREF(items);
        return false;
      }
    }
    Py_DECREF(items);
    return true;
  }
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) {
    PyErr_Format(PyExc_TypeError, "a value must be a number, a str, bytes, None or a list, not %.100s",
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  out->kind = std::isnan(v) ? KeyValue::Kind::Missing : KeyValue::Kind::Number;
  out->number = v;
  return true;
}

bool subset_from_python(PyObject* dict, KeyedSubset* out) {
  if (!PyDict_Check(dict)) {
    PyErr_SetString(PyExc_TypeError, "each subset must be a dict");
    return false;
  }
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    const Py_ssize_t at = PyNumber_AsSsize_t(key, PyExc_OverflowError);
    if (at == -1 && PyErr_Occurred()) return false;
    if (at < 0 || at > (Py_ssize_t{1} << 26)) {
      PyErr_SetString(PyExc_ValueError, "a plan index out of range");
      return false;
    }
    if (out->values.size() <= static_cast<size_t>(at)) out->values.resize(static_cast<size_t>(at) + 1);
    if (!value_from_python(value, &out->values[static_cast<size_t>(at)], 0)) return false;
  }
  return true;
}

}  // namespace

bool subsets_from_python(PyObject* subsets, std::vector<KeyedSubset>* out) {
  if (!PyList_Check(subsets)) {
    PyErr_SetString(PyExc_TypeError, "subsets must be a list");
    return false;
  }
  const Py_ssize_t n = PyList_GET_SIZE(subsets);
  out->resize(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!subset_from_python(PyList_GET_ITEM(subsets, i), &(*out)[static_cast<size_t>(i)])) return false;
  }
  return true;
}

namespace {

bool listed_from_python(PyObject* codes, PyObject* values, std::vector<ListedValue>* out) {
  std::vector<uint32_t> list;
  if (!arg_codes(codes, "descriptors", &list)) return false;
  PyObject* items = PySequence_Fast(values, "values must be a list");
  if (!items) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items);
  bool ok = n == static_cast<Py_ssize_t>(list.size());
  if (!ok) PyErr_SetString(PyExc_ValueError, "a subset lists as many values as descriptors");
  out->resize(list.size());
  for (Py_ssize_t i = 0; ok && i < n; ++i) {
    KeyValue v;
    ListedValue& l = (*out)[static_cast<size_t>(i)];
    l.code = list[static_cast<size_t>(i)];
    ok = value_from_python(PySequence_Fast_GET_ITEM(items, i), &v, kMaxNesting);
    if (!ok) break;
    l.missing = v.kind == KeyValue::Kind::Missing;
    l.is_text = v.kind == KeyValue::Kind::Text;
    l.value = v.number;
    l.text = std::move(v.text);
  }
  Py_DECREF(items);
  return ok;
}

}  // namespace

bool listed_subsets_from_python(PyObject* subsets, std::vector<std::vector<ListedValue>>* out) {
  if (!PyList_Check(subsets)) {
    PyErr_SetString(PyExc_TypeError, "subsets must be a list");
    return false;
  }
  out->resize(static_cast<size_t>(PyList_GET_SIZE(subsets)));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(subsets); ++i) {
    PyObject* pair = PyList_GET_ITEM(subsets, i);
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
      PyErr_SetString(PyExc_TypeError, "each subset must be a (descriptors, values) tuple");
      return false;
    }
    if (!listed_from_python(PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1), &(*out)[static_cast<size_t>(i)]))
      return false;
  }
  return true;
}

PyObject* plan_to_python(const TemplatePlan& plan) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(plan.nodes.size()));
  if (!list) return nullptr;
  for (size_t i = 0; i < plan.nodes.size(); ++i) {
    const PlanNode& node = plan.nodes[i];
    PyObject* key = node.kind == PlanNode::Kind::Delayed || node.key.empty() ? Py_NewRef(Py_None) : text_to_py(node.key);
    PyObject* item = key ? Py_BuildValue("(kN)", static_cast<unsigned long>(node.code), key) : nullptr;
    if (!item) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

}  // namespace tarvane

// DecodedValue: one decoded item. This is the hot path of every decode: a
// fixed-size object outside the garbage collector (it holds only str
// references, so no cycle can form), allocated directly, with names and
// meanings shared between all values of one call.
#include <charconv>
#include <cmath>
#include <string>
#include <vector>

#include "../descriptor.hpp"
#include "../text.hpp"
#include "classes.hpp"

namespace tarvane {

namespace {

constexpr uint8_t kHasValue = 1;
constexpr uint8_t kHasRaw = 2;

struct ValueObject {
  PyObject_HEAD
  PyObject* name;
  PyObject* raw_text;     // or nullptr
  PyObject* raw_meaning;  // or nullptr
  double value;
  uint64_t raw;
  uint32_t descriptor;
  uint8_t flags;
};

ValueObject* as_value(PyObject* obj) { return reinterpret_cast<ValueObject*>(obj); }

// One str per distinct text of a call, keyed by where the text lives (the
// element name or code-table meaning inside the TableSet, or a static word):
// the same address and length always hold the same text during the call.
class StrCache {
 public:
  StrCache() : slots_(64) {}
  ~StrCache() {
    for (Slot& s : slots_) Py_XDECREF(s.str);
  }
  StrCache(const StrCache&) = delete;
  StrCache& operator=(const StrCache&) = delete;

  // A borrowed reference, or nullptr with an exception set.
  PyObject* get(std::string_view text) {
    if (text.data() == last_data_ && text.size() == last_size_) return last_str_;
    size_t mask = slots_.size() - 1;
    size_t i = hash(text.data()) & mask;
    while (slots_[i].str) {
      if (slots_[i].data == text.data() && slots_[i].size == text.size()) return remember(slots_[i]);
      i = (i + 1) & mask;
    }
    PyObject* str = text_to_py(text);
    if (!str) return nullptr;
    slots_[i] = {text.data(), text.size(), str};
    PyObject* found = remember(slots_[i]);
    if (++used_ * 2 > slots_.size()) grow();
    return found;
  }

 private:
  struct Slot {
    const char* data = nullptr;
    size_t size = 0;
    PyObject* str = nullptr;
  };

  static size_t hash(const char* p) { return (reinterpret_cast<uintptr_t>(p) >> 3) * 0x9E3779B97F4A7C15ull >> 20; }

  PyObject* remember(const Slot& s) {
    last_data_ = s.data;
    last_size_ = s.size;
    last_str_ = s.str;
    return s.str;
  }

  void grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    size_t mask = slots_.size() - 1;
    for (const Slot& s : old) {
      if (!s.str) continue;
      size_t i = hash(s.data) & mask;
      while (slots_[i].str) i = (i + 1) & mask;
      slots_[i] = s;
    }
  }

  std::vector<Slot> slots_;
  size_t used_ = 0;
  const char* last_data_ = nullptr;
  size_t last_size_ = 0;
  PyObject* last_str_ = nullptr;
};

// Shortest round-trip decimal: "1.0", "-0.0", "273.15", and exponent form
// ("1e16", "2.5e-5") at or above 1e16 and below 1e-4.
std::string float_text(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  char buf[64];
  auto written = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string_view s(buf, static_cast<size_t>(written.ptr - buf));
  std::string out;
  if (s.front() == '-') {
    out = "-";
    s.remove_prefix(1);
  }
  size_t e = s.find('e');
  std::string digits;
  for (char c : s.substr(0, e))
    if (c != '.') digits += c;
  std::string_view exp_text = s.substr(e + 1);
  if (exp_text.front() == '+') exp_text.remove_prefix(1);
  int exp = 0;
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exp);
  double mag = std::fabs(v);
  if (mag != 0.0 && (mag >= 1e16 || mag < 1e-4)) {
    out += digits[0];
    if (digits.size() > 1) out.append(".").append(digits, 1);
    return out.append("e").append(std::to_string(exp));
  }
  if (exp < 0) return out.append("0.").append(static_cast<size_t>(-exp - 1), '0').append(digits);
  size_t int_digits = static_cast<size_t>(exp) + 1;
  if (digits.size() <= int_digits) return out.append(digits).append(int_digits - digits.size(), '0').append(".0");
  return out.append(digits, 0, int_digits).append(".").append(digits, int_digits);
}

PyObject* new_ref_or_none(PyObject* obj) { return Py_NewRef(obj ? obj : Py_None); }

PyObject* get_descriptor(PyObject* self, void*) { return PyLong_FromUnsignedLong(as_value(self)->descriptor); }
PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_value(self)->name); }
PyObject* get_raw_text(PyObject* self, void*) { return new_ref_or_none(as_value(self)->raw_text); }
PyObject* get_raw_meaning(PyObject* self, void*) { return new_ref_or_none(as_value(self)->raw_meaning); }

PyObject* get_raw_value(PyObject* self, void*) {
  ValueObject* v = as_value(self);
  if (!(v->flags & kHasValue)) Py_RETURN_NONE;
  return PyFloat_FromDouble(v->value);
}

PyObject* get_raw(PyObject* self, void*) {
  ValueObject* v = as_value(self);
  if (!(v->flags & kHasRaw)) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(v->raw);
}

// The text, else the meaning, else the number; never raw.
PyObject* get_data(PyObject* self, void*) {
  ValueObject* v = as_value(self);
  if (v->raw_text) return Py_NewRef(v->raw_text);
  if (v->raw_meaning) return Py_NewRef(v->raw_meaning);
  return get_raw_value(self, nullptr);
}

bool append_quoted(std::string& out, PyObject* str) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
  if (!utf8) return false;
  out += quoted(std::string_view(utf8, static_cast<size_t>(size)));
  return true;
}

PyObject* value_repr(PyObject* self) {
  ValueObject* v = as_value(self);
  std::string text = "DecodedValue(" + code_text(v->descriptor) + ", ";
  if (v->raw_text || v->raw_meaning) {
    if (!append_quoted(text, v->raw_text ? v->raw_text : v->raw_meaning)) return nullptr;
  } else if (v->flags & kHasValue) {
    text += "Some(" + float_text(v->value) + ")";
  } else {
    text += "None";
  }
  text += ")";
  return text_to_py(text);
}

void value_dealloc(PyObject* self) {
  ValueObject* v = as_value(self);
  PyTypeObject* type = Py_TYPE(self);
  Py_DECREF(v->name);
  Py_XDECREF(v->raw_text);
  Py_XDECREF(v->raw_meaning);
  PyObject_Free(self);
  Py_DECREF(type);
}

PyGetSetDef value_getset[] = {
    {"descriptor", get_descriptor, nullptr, nullptr, nullptr},
    {"name", get_name, nullptr, nullptr, nullptr},
    {"raw_value", get_raw_value, nullptr, nullptr, nullptr},
    {"raw", get_raw, nullptr, nullptr, nullptr},
    {"raw_text", get_raw_text, nullptr, nullptr, nullptr},
    {"raw_meaning", get_raw_meaning, nullptr, nullptr, nullptr},
    {"data", get_data, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot value_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(value_dealloc)},
    {Py_tp_free, reinterpret_cast<void*>(PyObject_Free)},
    {Py_tp_repr, reinterpret_cast<void*>(value_repr)},
    {Py_tp_getset, value_getset},
    {0, nullptr},
};

PyType_Spec value_spec = {"tarvane._tarvane.DecodedValue", sizeof(ValueObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                          value_slots};

}  // namespace

PyTypeObject* decoded_value_type() {
  static PyTypeObject* type = nullptr;
  if (!type) type = make_type(&value_spec);
  return type;
}

PyObject* decoded_values_to_list(const DecodeResult& result) {
  PyTypeObject* type = decoded_value_type();
  if (!type) return nullptr;
  Py_ssize_t n = static_cast<Py_ssize_t>(result.values.size());
  PyObject* list = PyList_New(n);
  if (!list) return nullptr;
  StrCache strs;
  for (Py_ssize_t i = 0; i < n; ++i) {
    const DecodedValue& d = result.values[static_cast<size_t>(i)];
    PyObject* name = strs.get(d.name);
    PyObject* meaning = d.meaning ? strs.get(*d.meaning) : nullptr;
    PyObject* text = nullptr;
    if (d.text != DecodedValue::kNoText) text = text_to_py(result.texts[d.text]);
    PyObject* obj = nullptr;
    if (name && (meaning || !d.meaning) && (text || d.text == DecodedValue::kNoText)) {
      obj = static_cast<PyObject*>(PyObject_Malloc(sizeof(ValueObject)));
      if (!obj) PyErr_NoMemory();
    }
    if (!obj) {
      Py_XDECREF(text);
      Py_DECREF(list);  // unset items are NULL, which the list tolerates
      return nullptr;
    }
    PyObject_Init(obj, type);
    ValueObject* v = as_value(obj);
    v->name = Py_NewRef(name);
    v->raw_text = text;
    v->raw_meaning = Py_XNewRef(meaning);
    v->value = d.value;
    v->raw = d.raw;
    v->descriptor = d.descriptor;
    v->flags = static_cast<uint8_t>((d.has_value ? kHasValue : 0) | (d.has_raw ? kHasRaw : 0));
    PyList_SET_ITEM(list, i, obj);
  }
  return list;
}

}  // namespace tarvane

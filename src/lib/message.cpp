// BufrMessage: the parsed header of one message, read-only attributes.
#include <new>
#include <string>

#include "classes.hpp"

namespace tarvane {

namespace {

struct MessageObject {
  PyObject_HEAD
  BufrMessage message;
};

MessageObject* as_message(PyObject* obj) { return reinterpret_cast<MessageObject*>(obj); }

PyObject* to_py(bool v) { return PyBool_FromLong(v); }
PyObject* to_py(uint8_t v) { return PyLong_FromUnsignedLong(v); }
PyObject* to_py(uint16_t v) { return PyLong_FromUnsignedLong(v); }
PyObject* to_py(size_t v) { return PyLong_FromSize_t(v); }
PyObject* to_py(const std::vector<uint32_t>& v) { return codes_to_list(v); }

template <auto Field>
PyObject* get_field(PyObject* self, void*) {
  return to_py(as_message(self)->message.*Field);
}

#define TARVANE_FIELD(name) {#name, get_field<&BufrMessage::name>, nullptr, nullptr, nullptr}

PyGetSetDef message_getset[] = {
    TARVANE_FIELD(total_length),
    TARVANE_FIELD(edition),
    TARVANE_FIELD(section1_length),
    TARVANE_FIELD(master_table_number),
    TARVANE_FIELD(originating_centre),
    TARVANE_FIELD(originating_subcentre),
    TARVANE_FIELD(update_sequence_number),
    TARVANE_FIELD(local_section_present),
    TARVANE_FIELD(data_category),
    TARVANE_FIELD(international_data_subcategory),
    TARVANE_FIELD(local_data_subcategory),
    TARVANE_FIELD(master_tables_version_number),
    TARVANE_FIELD(local_tables_version_number),
    TARVANE_FIELD(typical_year),
    TARVANE_FIELD(typical_month),
    TARVANE_FIELD(typical_day),
    TARVANE_FIELD(typical_hour),
    TARVANE_FIELD(typical_minute),
    TARVANE_FIELD(typical_second),
    TARVANE_FIELD(section2_length),
    TARVANE_FIELD(section3_length),
    TARVANE_FIELD(number_of_subsets),
    TARVANE_FIELD(observed_data),
    TARVANE_FIELD(compressed_data),
    TARVANE_FIELD(unexpanded_descriptors),
    TARVANE_FIELD(section4_length),
    TARVANE_FIELD(section4_data_offset),
    TARVANE_FIELD(section4_data_length),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef TARVANE_FIELD

PyObject* message_repr(PyObject* self) {
  const BufrMessage& m = as_message(self)->message;
  std::string text = "BufrMessage(edition=" + std::to_string(m.edition) + ", length=" + std::to_string(m.total_length) +
                     ", subsets=" + std::to_string(m.number_of_subsets) + ", descriptors=[";
  for (size_t i = 0; i < m.unexpanded_descriptors.size(); ++i) {
    if (i) text += ", ";
    text += std::to_string(m.unexpanded_descriptors[i]);
  }
  text += "])";
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

void message_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_message(self)->message.~BufrMessage();
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot message_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(message_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(message_repr)},
    {Py_tp_getset, message_getset},
    {0, nullptr},
};

PyType_Spec message_spec = {
    "tarvane._tarvane.BufrMessage", sizeof(MessageObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE, message_slots};

}  // namespace

PyTypeObject* message_type() {
  static PyTypeObject* type = nullptr;
  if (!type) type = make_type(&message_spec);
  return type;
}

PyObject* wrap_message(BufrMessage message) {
  PyTypeObject* type = message_type();
  if (!type) return nullptr;
  PyObject* obj = type->tp_alloc(type, 0);
  if (!obj) return nullptr;
  new (&as_message(obj)->message) BufrMessage(std::move(message));
  return obj;
}

const BufrMessage& message_of(PyObject* obj) { return as_message(obj)->message; }

}  // namespace tarvane

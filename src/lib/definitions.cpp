// ElementDefinition and SequenceDefinition: copies of one Table B or Table D
// entry, handed out by TableSet.get_element / get_sequence.
#include <new>
#include <string>

#include "../descriptor.hpp"
#include "../text.hpp"
#include "classes.hpp"

namespace tarvane {

namespace {

template <typename Record>
struct RecordObject {
  PyObject_HEAD
  Record record;
};

template <typename Record>
const Record& record_of(PyObject* obj) {
  return reinterpret_cast<RecordObject<Record>*>(obj)->record;
}

template <typename Record>
void record_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<RecordObject<Record>*>(self)->record.~Record();
  type->tp_free(self);
  Py_DECREF(type);
}

template <typename Record>
PyObject* wrap_record(PyTypeObject* type, const Record& record) {
  if (!type) return nullptr;
  PyObject* obj = type->tp_alloc(type, 0);
  if (!obj) return nullptr;
  new (&reinterpret_cast<RecordObject<Record>*>(obj)->record) Record(record);
  return obj;
}

PyObject* to_py(uint16_t v) { return PyLong_FromUnsignedLong(v); }
PyObject* to_py(uint32_t v) { return PyLong_FromUnsignedLong(v); }
PyObject* to_py(int32_t v) { return PyLong_FromLong(v); }
PyObject* to_py(int64_t v) { return PyLong_FromLongLong(v); }
PyObject* to_py(const std::string& v) { return text_to_py(v); }
PyObject* to_py(const std::vector<uint32_t>& v) { return codes_to_list(v); }

template <typename Record, auto Field>
PyObject* get_field(PyObject* self, void*) {
  return to_py(record_of<Record>(self).*Field);
}

#define TARVANE_ELEMENT_FIELD(name) {#name, get_field<ElementDefinition, &ElementDefinition::name>, nullptr, nullptr, nullptr}

PyGetSetDef element_getset[] = {
    TARVANE_ELEMENT_FIELD(code),
    TARVANE_ELEMENT_FIELD(abbreviation),
    TARVANE_ELEMENT_FIELD(element_type),
    TARVANE_ELEMENT_FIELD(name),
    TARVANE_ELEMENT_FIELD(unit),
    TARVANE_ELEMENT_FIELD(scale),
    TARVANE_ELEMENT_FIELD(reference),
    TARVANE_ELEMENT_FIELD(width),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef TARVANE_ELEMENT_FIELD

PyObject* element_repr(PyObject* self) {
  const ElementDefinition& d = record_of<ElementDefinition>(self);
  return text_to_py("ElementDefinition(" + code_text(d.code) + ", name=" + quoted(d.name) + ")");
}

PyGetSetDef sequence_getset[] = {
    {"code", get_field<SequenceDefinition, &SequenceDefinition::code>, nullptr, nullptr, nullptr},
    {"members", get_field<SequenceDefinition, &SequenceDefinition::members>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* sequence_repr(PyObject* self) {
  const SequenceDefinition& d = record_of<SequenceDefinition>(self);
  std::string text = "SequenceDefinition(" + code_text(d.code) + ", members=[";
  for (size_t i = 0; i < d.members.size(); ++i) {
    if (i) text += ", ";
    text += std::to_string(d.members[i]);
  }
  text += "])";
  return text_to_py(text);
}

PyType_Slot element_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc<ElementDefinition>)},
    {Py_tp_repr, reinterpret_cast<void*>(element_repr)},
    {Py_tp_getset, element_getset},
    {0, nullptr},
};

PyType_Slot sequence_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc<SequenceDefinition>)},
    {Py_tp_repr, reinterpret_cast<void*>(sequence_repr)},
    {Py_tp_getset, sequence_getset},
    {0, nullptr},
};

constexpr unsigned kRecordFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;

PyType_Spec element_spec = {"tarvane._tarvane.ElementDefinition", sizeof(RecordObject<ElementDefinition>), 0, kRecordFlags,
                            element_slots};
PyType_Spec sequence_spec = {"tarvane._tarvane.SequenceDefinition", sizeof(RecordObject<SequenceDefinition>), 0, kRecordFlags,
                             sequence_slots};

}  // namespace

PyTypeObject* element_definition_type() {
  static PyTypeObject* type = nullptr;
  if (!type) type = make_type(&element_spec);
  return type;
}

PyTypeObject* sequence_definition_type() {
  static PyTypeObject* type = nullptr;
  if (!type) type = make_type(&sequence_spec);
  return type;
}

PyObject* wrap_element(const ElementDefinition& def) { return wrap_record(element_definition_type(), def); }

PyObject* wrap_sequence(const SequenceDefinition& def) { return wrap_record(sequence_definition_type(), def); }

}  // namespace tarvane

// The module's classes: each type object is created on first use and kept for
// the life of the process; the wrap functions build new instances that own
// copies of the core records. All return nullptr with an exception set on
// failure.
#pragma once

#include <Python.h>

#include <string_view>
#include <vector>

#include "../data/decoded_value.hpp"
#include "../message/message.hpp"
#include "../tables/table_set.hpp"

namespace tarvane {

PyTypeObject* message_type();
PyTypeObject* decoded_value_type();
PyTypeObject* descriptor_type();
PyTypeObject* element_definition_type();
PyTypeObject* sequence_definition_type();
PyTypeObject* table_set_type();

PyObject* wrap_message(BufrMessage message);
PyObject* wrap_table_set(TableSet tables);
PyObject* wrap_element(const ElementDefinition& def);
PyObject* wrap_sequence(const SequenceDefinition& def);

// The record inside an object already checked to be of the right type.
const BufrMessage& message_of(PyObject* obj);
const TableSet& table_set_of(PyObject* obj);

// A new list of one DecodedValue per record. The records refer into the
// TableSet they were decoded with, which must still be alive.
PyObject* decoded_values_to_list(const DecodeResult& result);

// A new str from UTF-8 text (invalid bytes become U+FFFD).
PyObject* text_to_py(std::string_view text);

// A new list of int.
PyObject* codes_to_list(const std::vector<uint32_t>& codes);

// Type creation shared by the class files.
PyTypeObject* make_type(PyType_Spec* spec);

}  // namespace tarvane

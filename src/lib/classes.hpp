// The module's classes: each type object is created on first use and kept for
// the life of the process; the wrap functions build new instances that own
// copies of the core records. All return nullptr with an exception set on
// failure.
#pragma once

#include "../pysupport/py_compat.hpp"

#include <string_view>
#include <vector>

#include "../data/decoded_value.hpp"
#include "../message/message.hpp"
#include "../pysupport/convert.hpp"
#include "../pysupport/table_sets.hpp"
#include "../tables/table_set.hpp"

namespace tarvane {

// The str objects of names and meanings, kept between calls by a TableSet
// object (table_set_strs) and touched only with the GIL held.
class StrCache;

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
// The str cache of a TableSet object, made on first use; nullptr with an
// exception set.
StrCache* table_set_strs(PyObject* obj);

StrCache* new_str_cache();  // nullptr with MemoryError
void delete_str_cache(StrCache* strs);

// A new list of one DecodedValue per record. The records refer into the
// TableSet they were decoded with, which must still be alive; strs, when not
// nullptr, is that TableSet object's cache, else the call makes its own.
PyObject* decoded_values_to_list(const DecodeResult& result, StrCache* strs);

}  // namespace tarvane

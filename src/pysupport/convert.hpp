// Small conversions both compiled modules make. Each returns nullptr with an
// exception set on failure.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>
#include <vector>

namespace tarvane {

// A new str from UTF-8 text (invalid bytes become U+FFFD).
PyObject* text_to_py(std::string_view text);

// A new list of int.
PyObject* codes_to_list(const std::vector<uint32_t>& codes);

// A heap type from its spec, named without its module in tp_name.
PyTypeObject* make_type(PyType_Spec* spec);

}  // namespace tarvane

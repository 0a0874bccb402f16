// Column: one array of a decoded message, owned by a small Python object that
// exports it through the buffer protocol, so NumPy's frombuffer wraps it
// without a copy and keeps it alive as the array's base.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "../data/to_columns.hpp"

namespace tarvane {

// The type, made once at module initialisation.
PyTypeObject* column_type();
int init_column_type(PyObject* module);

// format: a struct-module code ("I", "i", "d", "Q"). Steals the storage.
PyObject* wrap_column(ColumnStorage storage, size_t size, const char* format, Py_ssize_t itemsize);

template <typename T>
PyObject* wrap_column(Column<T> column, const char* format) {
  const size_t size = column.size;
  return wrap_column(std::move(column.storage), size, format, sizeof(T));
}

// A new reference to the one empty column of format: most messages have no
// texts and no meanings, and the columns of them cost an object each.
PyObject* empty_column(const char* format, Py_ssize_t itemsize);

// A copy of a small vector as a column.
template <typename T>
PyObject* copy_to_column(const std::vector<T>& items, const char* format) {
  if (items.empty()) return empty_column(format, sizeof(T));
  Column<T> column = Column<T>::make(items.size());
  for (size_t i = 0; i < items.size(); ++i) column.data()[i] = items[i];
  return wrap_column(std::move(column), format);
}

}  // namespace tarvane

#include "column_object.hpp"

#include <cstring>
#include <iterator>
#include <new>

namespace tarvane {

namespace {

struct ColumnObject {
  PyObject_HEAD
  ColumnStorage storage;
  Py_ssize_t size;
  Py_ssize_t itemsize;
  const char* format;
};

ColumnObject* as_column(PyObject* obj) { return reinterpret_cast<ColumnObject*>(obj); }

PyTypeObject* the_type = nullptr;

// Read-only: a decoded message does not change under its user's arrays.
int column_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  ColumnObject* c = as_column(self);
  if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
    PyErr_SetString(PyExc_BufferError, "decoded columns are read-only");
    view->obj = nullptr;
    return -1;
  }
  // An empty column still needs a valid address.
  static char empty[8];
  view->buf = c->size == 0 ? static_cast<void*>(empty) : c->storage.data();
  view->obj = Py_NewRef(self);
  view->len = c->size * c->itemsize;
  view->itemsize = c->itemsize;
  view->readonly = 1;
  view->ndim = 1;
  view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(c->format) : nullptr;
  view->shape = (flags & PyBUF_ND) ? &c->size : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &c->itemsize : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

void column_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_column(self)->storage.~ColumnStorage();
  type->tp_free(self);
  Py_DECREF(type);
}

Py_ssize_t column_length(PyObject* self) { return as_column(self)->size; }

PyType_Slot column_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(column_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(column_getbuffer)},
    {Py_sq_length, reinterpret_cast<void*>(column_length)},
    {Py_tp_doc, const_cast<char*>("One decoded column; wrap it with numpy.frombuffer.")},
    {0, nullptr},
};

PyType_Spec column_spec = {
    "tarvane._columns.Column",
    sizeof(ColumnObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    column_slots,
};

}  // namespace

PyTypeObject* column_type() { return the_type; }

int init_column_type(PyObject* module) {
  PyObject* type = PyType_FromModuleAndSpec(module, &column_spec, nullptr);
  if (!type) return -1;
  the_type = reinterpret_cast<PyTypeObject*>(type);
  // The module keeps one reference; the_type borrows it for the process.
  if (PyModule_AddObjectRef(module, "Column", type) < 0) return -1;
  return 0;
}

PyObject* wrap_column(ColumnStorage storage, size_t size, const char* format, Py_ssize_t itemsize) {
  PyObject* obj = the_type->tp_alloc(the_type, 0);
  if (!obj) return nullptr;
  ColumnObject* c = as_column(obj);
  new (&c->storage) ColumnStorage(std::move(storage));
  c->size = static_cast<Py_ssize_t>(size);
  c->itemsize = itemsize;
  c->format = format;
  return obj;
}

PyObject* empty_column(const char* format, Py_ssize_t itemsize) {
  // Kept for the life of the process; made and handed out under the GIL.
  struct Empty {
    const char* format;
    Py_ssize_t itemsize;
    PyObject* column;
  };
  static Empty made[8];
  static size_t count = 0;
  for (size_t i = 0; i < count; ++i) {
    if (made[i].itemsize == itemsize && std::strcmp(made[i].format, format) == 0) return Py_NewRef(made[i].column);
  }
  PyObject* column = wrap_column(ColumnStorage{}, 0, format, itemsize);
  if (column != nullptr && count < std::size(made)) made[count++] = {format, itemsize, Py_NewRef(column)};
  return column;
}

}  // namespace tarvane

#include "table_sets.hpp"

#include <new>
#include <utility>

#include "table_set_layout_internal.hpp"

namespace tarvane {

const TableSet& table_set_of(PyObject* obj) { return reinterpret_cast<TableSetObject*>(obj)->tables; }

PyObject* new_table_set_object(PyTypeObject* type, TableSet tables) {
  PyObject* obj = type->tp_alloc(type, 0);
  if (!obj) return nullptr;
  TableSetObject* t = reinterpret_cast<TableSetObject*>(obj);
  new (&t->tables) TableSet(std::move(tables));
  t->strs = nullptr;
  return obj;
}

}  // namespace tarvane

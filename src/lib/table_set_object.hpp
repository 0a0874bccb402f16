// The instance layout of TableSet, shared with the reading layer's module,
// which hands TableSets to the core and makes new ones of the same type.
#pragma once

#include <Python.h>

#include "../tables/table_set.hpp"

namespace tarvane {

class StrCache;

struct TableSetObject {
  PyObject_HEAD
  TableSet tables;
  // The str of every name and meaning handed out so far, made by the first
  // decode into objects; nullptr before (tp_alloc zeroes it).
  StrCache* strs;
};

}  // namespace tarvane

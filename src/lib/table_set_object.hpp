// The instance layout of TableSet, shared with the reading layer's module,
// which hands TableSets to the core and makes new ones of the same type.
#pragma once

#include "py_compat.hpp"

#include "../tables/table_set.hpp"

namespace tarvane {

class StrCache;

struct TableSetObject {
  PyObject_HEAD
  TableSet tables;
  StrCache* strs;  // nullptr until the first decode with these tables
};

}  // namespace tarvane

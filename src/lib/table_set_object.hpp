// The instance layout of TableSet, shared with the reading layer's module,
// which hands TableSets to the core and makes new ones of the same type.
#pragma once

#include <Python.h>

#include "../tables/table_set.hpp"

namespace tarvane {

struct TableSetObject {
  PyObject_HEAD
  TableSet tables;
};

}  // namespace tarvane

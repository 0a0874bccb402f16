// The instance layout of TableSet: known to _tarvane, which defines the
// type, and to this folder; the reading layer's module uses table_sets.hpp.
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

// Values given by key, from Python objects into the core's plain tree, so
// that the writer runs without the GIL.
#pragma once

#include <Python.h>

#include <vector>

#include "../encode/keys.hpp"
#include "../encode/list_source.hpp"

namespace tarvane {

// subsets: a list of dicts from plan index (int) to value: None, a number,
// a str or bytes, or a list or tuple of values. False with an exception set.
bool subsets_from_python(PyObject* subsets, std::vector<KeyedSubset>* out);

// subsets: a list of (descriptor codes, values) of one subset each, the
// values as above but never lists.
bool listed_subsets_from_python(PyObject* subsets, std::vector<std::vector<ListedValue>>* out);

// The plan's nodes as a list of (code, "#k#key" or None).
PyObject* plan_to_python(const TemplatePlan& plan);

}  // namespace tarvane

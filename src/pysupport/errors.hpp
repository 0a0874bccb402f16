// Raising core failures as Python exceptions. Both return nullptr so a
// function can `return to_py_err(...)`.
#pragma once

#include "py_compat.hpp"

#include "../error.hpp"

namespace tarvane {

// Any BufrError becomes ValueError(display text); a table loader's error
// also carries the file it was loading as the attribute table_path (str).
PyObject* to_py_err(const BufrError& error);

// A failed read of a file the caller named becomes a plain OSError whose one
// argument is the system's text (no "io error: " prefix, errno unset).
PyObject* to_os_err(const BufrError& error);

}  // namespace tarvane

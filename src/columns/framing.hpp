// Framing for the reading layer: the next message of a buffer found, copied,
// parsed and made a tarvane.Message in one call, since per message this is
// most of what reading a file of small messages costs.
#pragma once

#include <Python.h>

#include "../error.hpp"
#include "../message/message.hpp"

namespace tarvane {

// The section 0, 1 and 3 fields as parse() returns them.
PyObject* header_tuple(const BufrMessage& m);

// The ValueError decode() and parse() raise for error (set, nullptr
// returned), and the same as an object; both are made in module.cpp.
PyObject* reading_error(const BufrError& error);
PyObject* error_object(const BufrError& error);

// message_type(cls, slots): the class frame() makes and the member
// descriptors of its slots header, offset, length, source, bytes, chooser
// and ahead, in that order.
PyObject* message_type_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// frame(buffer, start, base, source, chooser) -> (offset, length, problem,
// needs_more, declared, message) or None when no marker is left. message
// is a Message at source offset base + offset when the piece is whole and
// parses; otherwise None, and problem is the piece's problem (str) or the
// error parsing it (ValueError).
PyObject* frame_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tarvane

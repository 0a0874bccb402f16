#include "framing.hpp"

#include <span>

#include "../message/scan.hpp"
#include "../pysupport/args.hpp"
#include "../pysupport/buffer.hpp"
#include "../pysupport/convert.hpp"
#include "slotted.hpp"

namespace tarvane {

namespace {

// tarvane.Message and its slots, as message_type() gave them.
constexpr int kSlots = 7;
SlottedClass message_class;

PyObject* py_bool(bool b) { return Py_NewRef(b ? Py_True : Py_False); }
PyObject* py_int(long v) { return PyLong_FromLong(v); }

// A tuple of items, whose references it takes; nullptr (every item
// released) when any of them is nullptr.
template <size_t N>
PyObject* tuple_taking(PyObject* (&items)[N]) {
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(N));
  for (PyObject* item : items) {
    if (item == nullptr || tuple == nullptr) {
      for (PyObject* p : items) Py_XDECREF(p);
      Py_XDECREF(tuple);
      return nullptr;
    }
  }
  for (size_t i = 0; i < N; ++i) PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), items[i]);
  return tuple;
}

// A Message with its slots filled, as Message.__init__ leaves it.
PyObject* new_message(PyObject* header, PyObject* octets, Py_ssize_t offset, PyObject* source, PyObject* chooser) {
  PyObject* offset_obj = PyLong_FromSsize_t(offset);
  PyObject* length_obj = PyLong_FromSsize_t(PyBytes_GET_SIZE(octets));
  PyObject* message = nullptr;
  if (offset_obj != nullptr && length_obj != nullptr) {
    PyObject* const values[kSlots] = {header, offset_obj, length_obj, source, octets, chooser, Py_None};
    message = message_class.make(values);
  }
  Py_XDECREF(offset_obj);
  Py_XDECREF(length_obj);
  return message;
}

// The message piece of buffer as bytes (buffer itself when it is all of it).
PyObject* piece_bytes(PyObject* buffer, std::span<const uint8_t> octets, size_t whole) {
  if (PyBytes_CheckExact(buffer) && octets.size() == whole) return Py_NewRef(buffer);
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(octets.data()),
                                   static_cast<Py_ssize_t>(octets.size()));
}

bool arg_offset(PyObject* obj, const char* arg, Py_ssize_t* out) {
  *out = PyNumber_AsSsize_t(obj, PyExc_OverflowError);
  if (*out == -1 && PyErr_Occurred()) return false;
  if (*out >= 0) return true;
  PyErr_Format(PyExc_ValueError, "%s must not be negative", arg);
  return false;
}

}  // namespace

PyObject* header_tuple(const BufrMessage& m) {
  // Edition 3 has neither an international data sub-category nor a second.
  const bool ed3 = m.edition == 3;
  PyObject* items[] = {
      py_int(m.edition), py_int(m.master_table_number), py_int(m.originating_centre),
      py_int(m.originating_subcentre), py_int(m.update_sequence_number), py_bool(m.local_section_present),
      py_int(m.data_category), ed3 ? Py_NewRef(Py_None) : py_int(m.international_data_subcategory),
      py_int(m.local_data_subcategory), py_int(m.master_tables_version_number),
      py_int(m.local_tables_version_number), py_int(m.typical_year), py_int(m.typical_month),
      py_int(m.typical_day), py_int(m.typical_hour), py_int(m.typical_minute),
      ed3 ? Py_NewRef(Py_None) : py_int(m.typical_second), py_int(m.number_of_subsets), py_bool(m.observed_data),
      py_bool(m.compressed_data), codes_to_list(m.unexpanded_descriptors),
      PyLong_FromSsize_t(static_cast<Py_ssize_t>(m.section4_data_length)),
  };
  return tuple_taking(items);
}

PyObject* message_type_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!collect_args("message_type", {"cls", "slots"}, args, nargs, kwnames, a)) return nullptr;
  if (!PyType_Check(a[0]) || !PyTuple_Check(a[1]) || PyTuple_GET_SIZE(a[1]) != kSlots) {
    PyErr_SetString(PyExc_TypeError, "message_type takes a class and a tuple of its 7 slot descriptors");
    return nullptr;
  }
  PyObject* const* slots = reinterpret_cast<PyTupleObject*>(a[1])->ob_item;
  if (!message_class.bind(a[0], std::span(slots, kSlots))) return nullptr;
  Py_RETURN_NONE;
}

PyObject* frame_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[5];
  if (!collect_args("frame", {"buffer", "start", "base", "source", "chooser"}, args, nargs, kwnames, a)) return nullptr;
  if (!message_class.bound()) {
    PyErr_SetString(PyExc_RuntimeError, "frame needs message_type first");
    return nullptr;
  }
  HeldBuffer buf;
  Py_ssize_t start, base;
  if (!buf.hold(a[0], "buffer") || !arg_offset(a[1], "start", &start) || !arg_offset(a[2], "base", &base)) {
    return nullptr;
  }
  const Piece piece = next_piece(buf.span(), static_cast<size_t>(start));
  if (piece.offset == Piece::kNone) Py_RETURN_NONE;
  PyObject* problem = Py_None;
  PyObject* message = Py_None;
  if (!piece.problem.empty()) {
    problem = PyUnicode_FromStringAndSize(piece.problem.data(), static_cast<Py_ssize_t>(piece.problem.size()));
  } else {
    const std::span<const uint8_t> octets = buf.span().subspan(piece.offset, piece.length);
    Result<BufrMessage> m = parse_message_any_edition(octets);
    if (!m) {
      problem = error_object(m.error());
    } else {
      PyObject* header = header_tuple(*m);
      PyObject* bytes = header ? piece_bytes(a[0], octets, buf.span().size()) : nullptr;
      message = bytes ? new_message(header, bytes, base + static_cast<Py_ssize_t>(piece.offset), a[3], a[4]) : nullptr;
      Py_XDECREF(header);
      Py_XDECREF(bytes);
    }
  }
  if (problem == Py_None) Py_INCREF(problem);
  if (message == Py_None) Py_INCREF(message);
  PyObject* items[] = {
      PyLong_FromSize_t(piece.offset), PyLong_FromSize_t(piece.length), problem, py_bool(piece.needs_more),
      PyLong_FromSize_t(piece.declared_length), message,
  };
  return tuple_taking(items);
}

}  // namespace tarvane

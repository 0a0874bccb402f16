// Leaving the GIL: one guard for every region of both modules that runs the
// core without it.
#pragma once

#include <Python.h>

#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <utility>

namespace tarvane {

// Releases the GIL for its lifetime and takes it back on every way out.
class ReleasedGil {
 public:
  ReleasedGil() : state_(PyEval_SaveThread()) {}
  ~ReleasedGil() { PyEval_RestoreThread(state_); }
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;

 private:
  PyThreadState* state_;
};

// Runs work without the GIL. Nothing may raise a Python exception there, so
// whatever work throws is caught inside the region and raised once the GIL
// is held again: MemoryError for a container that could not grow,
// RuntimeError for anything else. False with the exception set.
template <class Work>
[[nodiscard]] bool without_gil(Work&& work) noexcept {
  enum class Thrown { Nothing, NoMemory, Other } thrown = Thrown::Nothing;
  char what[160] = "";
  {
    ReleasedGil released;
    try {
      std::forward<Work>(work)();
    } catch (const std::bad_alloc&) {
      thrown = Thrown::NoMemory;
    } catch (const std::length_error&) {
      thrown = Thrown::NoMemory;
    } catch (const std::exception& e) {
      thrown = Thrown::Other;
      std::strncpy(what, e.what(), sizeof what - 1);
    } catch (...) {
      thrown = Thrown::Other;
    }
  }
  if (thrown == Thrown::Nothing) return true;
  if (thrown == Thrown::NoMemory) {
    PyErr_NoMemory();
  } else {
    PyErr_Format(PyExc_RuntimeError, "internal error in the decoder core: %s", what[0] ? what : "unknown exception");
  }
  return false;
}

}  // namespace tarvane

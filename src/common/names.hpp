// Interned attribute and key names, made once per process at first use.
#pragma once
#include "error.hpp"

namespace qm {

inline PyObject* intern_or_throw(const char* text) {
  // Interned strings live as long as the interpreter; the pointer is kept unowned.
  return check(PyUnicode_InternFromString(text));
}

}  // namespace qm

// A borrowed pointer to the interned str for a literal, e.g. QM_NAME("find").
#define QM_NAME(literal)                                              \
  ([]() -> PyObject* {                                                \
    static PyObject* const interned = ::qm::intern_or_throw(literal); \
    return interned;                                                  \
  }())

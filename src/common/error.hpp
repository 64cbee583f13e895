// Errors: a C++ marker exception that means "the Python error indicator is set",
// and the noexcept boundary that turns it back into NULL / -1 for CPython.
#pragma once
#include "ref.hpp"

#include <exception>
#include <new>

namespace qm {

// Thrown only after a Python exception has been set; carries nothing itself.
struct PyErrOccurred {};

// Turns the C-API failure conventions into a throw.
inline PyObject* check(PyObject* p) {
  if (p == nullptr) throw PyErrOccurred{};
  return p;
}
inline int check(int rc) {
  if (rc < 0) throw PyErrOccurred{};
  return rc;
}
// For C-API calls that return a new reference.
inline Ref checked(PyObject* p) { return Ref::steal(check(p)); }

// Sets the error with PyErr_Format and throws the marker.
[[noreturn]] void raise(PyObject* type, const char* format, ...);
// Sets the error with a ready message object.
[[noreturn]] void raise_object(PyObject* type, PyObject* value);

// Translates whatever the body threw into the Python error indicator.
void translate_current_exception() noexcept;

// Every function CPython calls goes through one of these two.
template <class F>
PyObject* guard_object(F&& body) noexcept {
  try {
    return body().release();
  } catch (...) {
    translate_current_exception();
    return nullptr;
  }
}
template <class F>
int guard_status(F&& body) noexcept {
  try {
    body();
    return 0;
  } catch (...) {
    translate_current_exception();
    return -1;
  }
}

// Saves the pending exception for the lifetime of the scope and restores it after,
// so code that must run while an exception is pending cannot disturb it.
class ErrorScope {
 public:
  ErrorScope() noexcept : saved_(PyErr_GetRaisedException()) {}
  ~ErrorScope() { PyErr_SetRaisedException(saved_); }
  ErrorScope(const ErrorScope&) = delete;
  ErrorScope& operator=(const ErrorScope&) = delete;

 private:
  PyObject* saved_;
};

// One level of the interpreter's C recursion budget; deep or cyclic walks end
// in RecursionError instead of a native stack overflow.
// Besides the interpreter's count, it watches the native stack itself: frames of
// optimised-out or sanitizer builds differ in size, and a count alone can still
// run off the end of a small thread stack.
bool native_stack_nearly_exhausted() noexcept;

class RecursionGuard {
 public:
  explicit RecursionGuard(const char* where = " while calling a Python object") {
    if (native_stack_nearly_exhausted()) {
      raise(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
    }
    if (Py_EnterRecursiveCall(where) != 0) throw PyErrOccurred{};
  }
  ~RecursionGuard() { Py_LeaveRecursiveCall(); }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
};

}  // namespace qm

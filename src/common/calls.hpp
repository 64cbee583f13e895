// Calls into Python: small stack arrays and vectorcall, no argument tuples.
#pragma once
#include "error.hpp"

#include <array>

namespace qm {

// callable(*args); args are borrowed pointers.
template <class... Args>
Ref call(PyObject* callable, Args... args) {
  // Slot 0 stays free so the callee may prepend `self` without copying.
  std::array<PyObject*, sizeof...(Args) + 1> stack{nullptr, args...};
  return checked(PyObject_Vectorcall(callable, stack.data() + 1,
                                     sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(*args, **kw) where kwnames is a tuple naming the trailing args.
template <class... Args>
Ref call_kw(PyObject* callable, PyObject* kwnames, Args... args) {
  std::array<PyObject*, sizeof...(Args) + 1> stack{nullptr, args...};
  const size_t positional = sizeof...(Args) - static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
  return checked(PyObject_Vectorcall(callable, stack.data() + 1,
                                     positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// self.name(*args), looked up on the instance each time.
template <class... Args>
Ref call_method(PyObject* self, PyObject* name, Args... args) {
  std::array<PyObject*, sizeof...(Args) + 1> stack{self, args...};
  return checked(PyObject_VectorcallMethod(
      name, stack.data(), (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

inline Ref getattr(PyObject* obj, PyObject* name) {
  return checked(PyObject_GetAttr(obj, name));
}
inline void setattr(PyObject* obj, PyObject* name, PyObject* value) {
  check(PyObject_SetAttr(obj, name, value));
}
inline bool truthy(PyObject* obj) { return check(PyObject_IsTrue(obj)) != 0; }
inline bool contains(PyObject* container, PyObject* item) {
  return check(PySequence_Contains(container, item)) != 0;
}
inline bool equal(PyObject* a, PyObject* b) {
  return check(PyObject_RichCompareBool(a, b, Py_EQ)) != 0;
}
inline Ref str_from(const char* utf8) { return checked(PyUnicode_FromString(utf8)); }

}  // namespace qm

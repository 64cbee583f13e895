// Calls between the methods of the module's own classes.
//
// `self.name(...)` is looked up on the instance at every call, so that a subclass,
// a change to the class or an attribute of the instance takes effect. While none of
// these has happened, that lookup can only find the method's own body, and the
// body is run directly: the instance is of the class the module made, the class is
// unchanged since then (its version tag is the one it had when it was made), and
// the instance holds no attributes besides its own data.
#pragma once
#include "common/calls.hpp"
#include "common/native_function.hpp"

namespace qm {

// A class made by the module, with the data attributes its instances may hold.
struct OwnClass {
  static constexpr Py_ssize_t kMaxData = 2;
  PyTypeObject* type = nullptr;      // strong reference, kept for the process
  unsigned int version_tag = 0;      // 0 when the class could not be tagged
  PyObject* data_names[kMaxData] = {};  // interned, kept for the process
  Py_ssize_t data_count = 0;
};

// The module's two classes, filled in by exec.
OwnClass& analyze_class_record();
OwnClass& front_end_class_record();

// Records `cls` as made by the module, with the instance attributes it may hold.
void remember_own_class(OwnClass& record, PyObject* cls, const char* const* data_names,
                        Py_ssize_t data_count);

// Would `self.<method>` find the class's own method?
bool own_methods_in_force(PyObject* self, const OwnClass& record);

// cls(arg): while `cls` is the class the module made, as made, the instance is made
// by the class's own steps (object's allocation, then the `__init__` body `init`)
// without the generic call and the lookup of __init__.
Ref construct_own(const OwnClass& record, PyObject* cls, MethodBody init, PyObject* arg);

// self.name(*args): the body directly when it is the method in force, else through
// the lookup. One level of the recursion budget either way, as the method's own
// entry takes one.
template <class... Args>
Ref call_own(const OwnClass& record, PyObject* self, PyObject* name, MethodBody body,
             Args... args) {
  if (!own_methods_in_force(self, record)) return call_method(self, name, args...);
  RecursionGuard guard;
  PyObject* const all[] = {self, args...};
  return body(all);
}

// The same for a static method, whose body takes no instance.
template <class... Args>
Ref call_own_static(const OwnClass& record, PyObject* self, PyObject* name, MethodBody body,
                    Args... args) {
  if (!own_methods_in_force(self, record)) return call_method(self, name, args...);
  RecursionGuard guard;
  PyObject* const all[] = {args...};
  return body(all);
}

}  // namespace qm

// A native function type that binds to instances like a function written in Python.
// Each object is described by a static MethodSpec: its parameters, defaults and body.
#pragma once
#include "error.hpp"

#include <cstddef>

namespace qm {

// The default of the one optional (last) parameter, if any.
enum class Default { kNone, kPyNone, kZero };

// Body of a method: receives every parameter, already filled (defaults applied),
// as borrowed pointers in parameter order; `self` first for instance methods.
using MethodBody = Ref (*)(PyObject* const* args);

struct MethodSpec {
  const char* name;             // bare name, e.g. "_parse_sql"
  const char* signature;        // "<Class>.<name>(<params>)" text, also the __doc__
  const char* const* params;    // parameter names in order
  Py_ssize_t param_count;
  Default default_value;        // default of the last parameter
  bool is_static;               // wrapped in staticmethod
  MethodBody body;
};

struct MethodTable {
  const char* class_name;
  const MethodSpec* methods;
  std::size_t size;
};

constexpr Py_ssize_t kMaxParams = 8;

// Creates the function type; called once from the module's exec.
void init_function_type(PyObject* module);
// A new function object for `spec` (not yet wrapped in staticmethod).
Ref make_function(const MethodSpec& spec, const char* class_name);

}  // namespace qm

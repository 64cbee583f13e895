// Process-wide state: made once, never freed (C++ static destructors would run
// after the interpreter is gone).
#pragma once
#include "error.hpp"

#include <cstdint>

namespace qm {

struct ProcessState {
  int64_t interpreter_id = -1;        // first interpreter that created the module
  PyObject* module = nullptr;         // strong reference while initialised
  PyTypeObject* function_type = nullptr;
  // Built-ins looked up once during exec and used from then on.
  PyObject* builtin_import_error = nullptr;
  PyObject* builtin_open = nullptr;
  PyObject* builtin_staticmethod = nullptr;
  PyObject* builtin_range = nullptr;
  PyObject* builtin_print = nullptr;
};

ProcessState& process_state();

// A module global, looked up at each use: the module's namespace first, then the
// built-ins; NameError "name '%U' is not defined" when neither has it.
Ref module_global(PyObject* name);

}  // namespace qm

#include "process_state.hpp"

#include "names.hpp"

namespace qm {

ProcessState& process_state() {
  static ProcessState* const state = new ProcessState();
  return *state;
}

namespace {

// Looks `name` up in a mapping; an empty Ref when absent.
Ref lookup(PyObject* mapping, PyObject* name) {
  PyObject* found = nullptr;
  if (PyDict_Check(mapping)) {
    check(PyDict_GetItemRef(mapping, name, &found));
    return Ref::steal(found);
  }
  check(PyMapping_GetOptionalItem(mapping, name, &found));
  return Ref::steal(found);
}

}  // namespace

Ref module_global(PyObject* name) {
  PyObject* module = process_state().module;
  if (module != nullptr) {
    PyObject* globals = PyModule_GetDict(module);  // borrowed; never fails for a module
    if (Ref found = lookup(globals, name)) return found;
    // Built-ins as a Python function of this module would see them.
    if (Ref builtins = lookup(globals, QM_NAME("__builtins__"))) {
      if (PyModule_Check(builtins.get())) {
        if (Ref found = lookup(PyModule_GetDict(builtins.get()), name)) return found;
      } else if (Ref found = lookup(builtins.get(), name)) {
        return found;
      }
      raise(PyExc_NameError, "name '%U' is not defined", name);
    }
  }
  if (Ref found = lookup(PyEval_GetBuiltins(), name)) return found;
  raise(PyExc_NameError, "name '%U' is not defined", name);
}

}  // namespace qm

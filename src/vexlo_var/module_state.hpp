// Per-module state of vexlo_var: the two types the module creates in exec, and
// the paths find has read.
#pragma once
#include "common/error.hpp"

namespace qm::vexlo {

class PathCache;

struct ModuleState {
  PyTypeObject* record_type = nullptr;  // VexloVar
  PyTypeObject* match_type = nullptr;   // PathMatch
  PathCache* path_cache = nullptr;      // owned; holds only strs, so never in a cycle
};

extern PyModuleDef module_def;

// The state of the module that defined `defining_class` (from a METH_METHOD call).
inline ModuleState& state_of_class(PyTypeObject* defining_class) {
  return *static_cast<ModuleState*>(PyType_GetModuleState(defining_class));
}

// The state of the vexlo_var module behind `type` or one of its bases.
inline ModuleState& state_for_type(PyTypeObject* type) {
  PyObject* module = check(PyType_GetModuleByDef(type, &module_def));  // borrowed
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

}  // namespace qm::vexlo

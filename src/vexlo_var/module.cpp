// The module vexlo_var: multi-phase initialisation; exec creates VexloVar and
// PathMatch and keeps them in the module's state.
#include "module_state.hpp"
#include "path_cache.hpp"
#include "path_match.hpp"
#include "record.hpp"

namespace qm::vexlo {

namespace {

ModuleState& state_of_module(PyObject* module) {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

int module_exec(PyObject* module) noexcept {
  return guard_status([&] {
    ModuleState& state = state_of_module(module);
    Ref record_type = make_record_type(module);
    Ref match_type = make_match_type(module);
    check(PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(record_type.get())));
    check(PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(match_type.get())));
    state.record_type = reinterpret_cast<PyTypeObject*>(record_type.release());
    state.match_type = reinterpret_cast<PyTypeObject*>(match_type.release());
    state.path_cache = new PathCache();
  });
}

int module_traverse(PyObject* module, visitproc visit, void* arg) noexcept {
  ModuleState& state = state_of_module(module);
  Py_VISIT(state.record_type);
  Py_VISIT(state.match_type);
  return 0;
}

int module_clear(PyObject* module) noexcept {
  ModuleState& state = state_of_module(module);
  Py_CLEAR(state.record_type);
  Py_CLEAR(state.match_type);
  delete state.path_cache;
  state.path_cache = nullptr;
  return 0;
}

void module_free(void* module) noexcept { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
    {0, nullptr},
};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vexlo_var",
    PyDoc_STR("The record type VexloVar and its tree query find."),
    sizeof(ModuleState),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace qm::vexlo

PyMODINIT_FUNC PyInit_vexlo_var() { return PyModuleDef_Init(&qm::vexlo::module_def); }

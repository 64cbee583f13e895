// Create: one interpreter per process, one module object per process.
#include "common/calls.hpp"
#include "common/names.hpp"
#include "common/process_state.hpp"
#include "module.hpp"

namespace qm {
namespace {

// The first interpreter to create the module owns it for the life of the process.
void check_interpreter() {
  ProcessState& state = process_state();
  const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (state.interpreter_id == -1) {
    state.interpreter_id = current;
    if (current == -1) throw PyErrOccurred{};
  } else if (state.interpreter_id != current) {
    raise(PyExc_ImportError,
          "Interpreter change detected - this module can only be loaded into one interpreter "
          "per process.");
  }
}

// dict[key] = spec.<attribute>; a missing attribute is skipped, and so is None
// when `skip_none` says so.
void copy_spec_attribute(PyObject* spec, PyObject* attribute, PyObject* dict, PyObject* key,
                         bool skip_none) {
  PyObject* found = nullptr;
  if (check(PyObject_GetOptionalAttr(spec, attribute, &found)) == 0) return;
  Ref value = Ref::steal(found);
  if (skip_none && value.get() == Py_None) return;
  check(PyDict_SetItem(dict, key, value.get()));
}

Ref create(PyObject* spec) {
  check_interpreter();
  if (PyObject* existing = process_state().module) return Ref::borrow(existing);

  Ref name = getattr(spec, QM_NAME("name"));
  Ref module = checked(PyModule_NewObject(name.get()));
  PyObject* dict = check(PyModule_GetDict(module.get()));
  copy_spec_attribute(spec, QM_NAME("loader"), dict, QM_NAME("__loader__"), false);
  copy_spec_attribute(spec, QM_NAME("origin"), dict, QM_NAME("__file__"), false);
  copy_spec_attribute(spec, QM_NAME("parent"), dict, QM_NAME("__package__"), false);
  copy_spec_attribute(spec, QM_NAME("submodule_search_locations"), dict, QM_NAME("__path__"),
                      true);
  return module;
}

}  // namespace

PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept {
  return guard_object([&] { return create(spec); });
}

}  // namespace qm

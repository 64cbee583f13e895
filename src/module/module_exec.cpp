// Exec: runs the module statements once per process; a failed run forgets the
// module object so that a later import starts over.
#include "common/calls.hpp"
#include "common/names.hpp"
#include "common/process_state.hpp"
#include "frontend/front_end.hpp"
#include "analyzer/analyzer.hpp"
#include "analyzer/tree_normaliser.hpp"
#include "external/record.hpp"
#include "module.hpp"
#include "own_methods.hpp"

namespace qm {
namespace {

// What an analyser keeps in its instance dictionary.
const char* const kAnalyzerData[] = {"tree", "_var"};

static_assert(PY_MAJOR_VERSION == 3 && PY_MINOR_VERSION == 13, "built for CPython 3.13 only");

void warn_on_version_mismatch() {
  const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
  const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
  if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return;
  check(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "compile time Python version %d.%d of module '%.100s' %s runtime version "
                         "%d.%d",
                         PY_MAJOR_VERSION, PY_MINOR_VERSION, "querimo_main", "does not match",
                         major, minor));
}

void register_in_sys_modules(PyObject* module) {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  PyObject* name = QM_NAME("querimo_main");
  if (check(PyMapping_HasKeyWithError(modules, name)) == 0) {
    check(PyObject_SetItem(modules, name, module));
  }
}

// Replaces a process-wide reference; the old object, if any, is dropped last.
void keep(PyObject*& slot, Ref value) {
  Ref old = Ref::steal(slot);
  slot = value.release();
}

Ref builtin(PyObject* builtins, PyObject* name) {
  PyObject* found = nullptr;
  if (check(PyDict_GetItemRef(PyModule_GetDict(builtins), name, &found)) == 0) {
    raise(PyExc_NameError, "name '%U' is not defined", name);
  }
  return Ref::steal(found);
}

void keep_builtins(PyObject* builtins) {
  ProcessState& state = process_state();
  keep(state.builtin_import_error, builtin(builtins, QM_NAME("ImportError")));
  keep(state.builtin_open, builtin(builtins, QM_NAME("open")));
  keep(state.builtin_staticmethod, builtin(builtins, QM_NAME("staticmethod")));
  keep(state.builtin_range, builtin(builtins, QM_NAME("range")));
  keep(state.builtin_print, builtin(builtins, QM_NAME("print")));
}

void run_exec(PyObject* module) {
  PyObject* globals = check(PyModule_GetDict(module));  // borrowed
  Ref builtins = checked(PyImport_AddModuleRef("builtins"));
  setattr(module, QM_NAME("__builtins__"), builtins.get());
  warn_on_version_mismatch();
  register_in_sys_modules(module);
  keep_builtins(builtins.get());
  init_function_type(module);

  // The module statements, in order.
  bind_global(globals, QM_NAME("re"), import_module(globals, QM_NAME("re")).get());
  bind_parser(globals);
  Ref record_class = import_from(globals, QM_NAME("vexlo_var"), QM_NAME("VexloVar"));
  remember_record_class(record_class.get());
  bind_global(globals, QM_NAME("VexloVar"), record_class.get());
  Ref json = import_module(globals, QM_NAME("json"));
  remember_standard_json(json.get());
  bind_global(globals, QM_NAME("json"), json.get());
  Ref front_end_class = make_class(front_end_methods());
  remember_own_class(front_end_class_record(), front_end_class.get(), nullptr, 0);
  bind_global(globals, QM_NAME("VexloParseMain"), front_end_class.get());
  Ref analyze_class = make_class(analyze_methods());
  remember_own_class(analyze_class_record(), analyze_class.get(), kAnalyzerData,
                     sizeof(kAnalyzerData) / sizeof(kAnalyzerData[0]));
  bind_global(globals, QM_NAME("Analyze"), analyze_class.get());

  Ref test = checked(PyDict_New());
  bind_global(globals, QM_NAME("__test__"), test.get());
}

}  // namespace

int module_exec(PyObject* module) noexcept {
  ProcessState& state = process_state();
  if (state.module != nullptr) {
    if (state.module == module) return 0;  // a repeated import of the same object
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'querimo_main' has already been imported. Re-initialisation is not "
                    "supported.");
    return -1;
  }
  state.module = Py_NewRef(module);
  const int status = guard_status([&] { run_exec(module); });
  if (status != 0) {
    // Dropping the module may run finalizers; the pending error must survive them.
    ErrorScope keep_error;
    Py_CLEAR(state.module);
  }
  return status;
}

}  // namespace qm

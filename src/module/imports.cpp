// Import statements as the interpreter runs them at module level: absolute
// imports through the import function, with the module's globals.
#include "module.hpp"

#include "common/calls.hpp"
#include "common/names.hpp"

namespace qm {

void bind_global(PyObject* globals, PyObject* name, PyObject* value) {
  check(PyDict_SetItem(globals, name, value));
}

Ref import_module(PyObject* globals, PyObject* name) {
  return checked(PyImport_ImportModuleLevelObject(name, globals, nullptr, nullptr, 0));
}

Ref import_from(PyObject* globals, PyObject* module_name, PyObject* name) {
  Ref fromlist = checked(PyTuple_Pack(1, name));
  Ref module =
      checked(PyImport_ImportModuleLevelObject(module_name, globals, nullptr, fromlist.get(), 0));
  PyObject* value = nullptr;
  if (check(PyObject_GetOptionalAttr(module.get(), name, &value)) > 0) return Ref::steal(value);

  // Not an attribute: perhaps a submodule that is imported but not bound on its
  // package, found in sys.modules as "<module>.<name>".
  PyObject* found_name = nullptr;
  check(PyObject_GetOptionalAttr(module.get(), QM_NAME("__name__"), &found_name));
  Ref package = Ref::steal(found_name);
  if (package && PyUnicode_Check(package.get())) {
    Ref full = checked(PyUnicode_FromFormat("%U.%U", package.get(), name));
    if (Ref submodule = Ref::steal(PyImport_GetModule(full.get()))) return submodule;
    if (PyErr_Occurred()) throw PyErrOccurred{};
  }
  raise(PyExc_ImportError, "cannot import name %S", name);
}

}  // namespace qm

// The module sql_lineage._engine: multi-phase initialisation, no state of its
// own; its functions run a front-end and resolution over all statements of one
// call, so tables written by one statement are known to the next.
#include "lineage/binding/entry_points.hpp"

namespace lineage::binding {
namespace {

PyObject* analyse_moz_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return qm::guard_object([&] { return analyse_moz(args, nargs); });
}

PyObject* analyse_native_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return qm::guard_object([&] { return analyse_native(args, nargs); });
}

PyObject* log_shape_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return qm::guard_object([&] { return log_shape(args, nargs); });
}

PyMethodDef module_methods[] = {
    {"analyse_moz", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(analyse_moz_entry)), METH_FASTCALL,
     PyDoc_STR("analyse_moz(statements, schema, namer, classes) -> list\n\n"
               "Each statement is (moz tree, kind, target or None, target columns); each result is\n"
               "(columns, indirect, problems), or the exception that stopped that statement.")},
    {"analyse_native", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(analyse_native_entry)),
     METH_FASTCALL,
     PyDoc_STR("analyse_native(text, dialect, schema, classes) -> list[StatementLineage]\n\n"
               "Reads every statement of the text with our own parser and resolves it.")},
    {"log_shape", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(log_shape_entry)), METH_FASTCALL,
     PyDoc_STR("log_shape(text, backslash) -> str | None\n\n"
               "The shape of a logged statement (see sql_lineage.logs.shapes), or None when\n"
               "the text holds characters beyond ASCII.")},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* module) noexcept {
  return qm::guard_status([&] { qm::check(PyModule_AddIntConstant(module, "HAS_NATIVE_PARSER", native_parser_built() ? 1 : 0)); });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    // Interned names are kept process-wide.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "sql_lineage._engine",
    PyDoc_STR("The full lineage engine: front-ends to the query model, resolution, result records."),
    0,
    module_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace lineage::binding

PyMODINIT_FUNC PyInit__engine() { return PyModuleDef_Init(&lineage::binding::module_def); }

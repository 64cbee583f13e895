// The module definition of querimo_main: multi-phase initialisation with exactly
// a create and an exec step, and no per-module state (it lives process-wide).
#include "module.hpp"

namespace qm {
namespace {

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "querimo_main",
    "Column lineage from SQL text.\n"
    "\n"
    "VexloParseMain()._parse_sql(sql) cleans the text, parses it and returns one\n"
    "VexloVar record (database, table, src, tgt) per lineage entry.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace qm

PyMODINIT_FUNC PyInit_querimo_main() { return PyModuleDef_Init(&qm::module_definition); }

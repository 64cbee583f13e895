// The module shell: create and exec, the module statements and their imports.
#pragma once
#include "common/native_function.hpp"

namespace qm {

// The two initialisation steps of the module definition.
PyObject* module_create(PyObject* spec, PyModuleDef* definition) noexcept;
int module_exec(PyObject* module) noexcept;

// Binds a module global, as a module-level assignment would.
void bind_global(PyObject* globals, PyObject* name, PyObject* value);

// `import name`: the top-level module, imported with the module's globals.
Ref import_module(PyObject* globals, PyObject* name);
// `from module_name import name`: the value that statement would bind.
Ref import_from(PyObject* globals, PyObject* module_name, PyObject* name);

// Binds `parse` from the SQL parser package, repairing the installed parsing
// engine on disk when the first import fails with ImportError.
void bind_parser(PyObject* globals);

// A plain class made by calling `type`, with the methods of `table` in order.
Ref make_class(const MethodTable& table);

}  // namespace qm

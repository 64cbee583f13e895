// The functions of sql_lineage._engine and what they share.
#pragma once

#include "common/error.hpp"
#include "lineage/binding/python_schema.hpp"
#include "lineage/binding/result_objects.hpp"
#include "lineage/model/query_model.hpp"

namespace lineage::binding {

// analyse_moz(statements, schema, namer, classes) -> list
qm::Ref analyse_moz(PyObject* const* args, Py_ssize_t nargs);
// analyse_native(text, dialect, schema, classes) -> list[StatementLineage]
qm::Ref analyse_native(PyObject* const* args, Py_ssize_t nargs);
// log_shape(text, backslash) -> str | None: a query-log statement's shape,
// None for a text beyond ASCII.
qm::Ref log_shape(PyObject* const* args, Py_ssize_t nargs);
// Whether our own parser is built into this module.
bool native_parser_built() noexcept;

// (SourceColumn, OutputColumn, IndirectSource, StatementLineage) from the caller.
RecordClasses classes_from(PyObject* classes);

// Resolves a statement read by a front-end, lets later statements see the
// table it writes, and gives (columns, indirect, problems). A failure that
// belongs to this statement alone (RecursionError, a front-end's error) comes
// back as the exception object instead.
qm::Ref resolve_to_python(model::Statement& statement, PythonSchema& schema, const RecordClasses& classes);
// The same with the three tuples in `out`: nothing comes back unless the
// statement failed, and then its exception.
qm::Ref resolve_to_records(model::Statement& statement, PythonSchema& schema, const RecordClasses& classes,
                           LineageRecords& out);

// The pending exception as a statement's result when it is an Exception;
// anything else (KeyboardInterrupt) goes on.
qm::Ref statement_failure();

}  // namespace lineage::binding

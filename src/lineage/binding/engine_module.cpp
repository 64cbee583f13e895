// The module sql_lineage._engine: multi-phase initialisation, no state of its
// own; its functions run the front-ends and resolution over a batch of
// statements, so tables written by one are known to the next.
#include <string_view>

#include "common/calls.hpp"
#include "common/names.hpp"
#include "lineage/binding/python_schema.hpp"
#include "lineage/binding/python_text.hpp"
#include "lineage/binding/result_objects.hpp"
#include "lineage/model/names.hpp"
#include "lineage/moz_front_end/moz_adapter.hpp"
#include "lineage/resolve/resolve_statement.hpp"

namespace lineage::binding {
namespace {

model::StatementKind kind_from_name(std::string_view name) {
  if (name == "insert") return model::StatementKind::Insert;
  if (name == "insert overwrite") return model::StatementKind::InsertOverwrite;
  if (name == "create table") return model::StatementKind::CreateTable;
  if (name == "create view") return model::StatementKind::CreateView;
  return model::StatementKind::Select;
}

RecordClasses classes_from(PyObject* classes) {
  if (!PyTuple_Check(classes) || PyTuple_GET_SIZE(classes) != 3) {
    qm::raise(PyExc_TypeError, "classes must be a tuple (SourceColumn, OutputColumn, IndirectSource)");
  }
  return {PyTuple_GET_ITEM(classes, 0), PyTuple_GET_ITEM(classes, 1), PyTuple_GET_ITEM(classes, 2)};
}

// The pending exception as the statement's result when it belongs to that
// statement alone (an Exception); anything else (KeyboardInterrupt) goes on.
qm::Ref statement_failure() {
  qm::Ref raised = qm::Ref::steal(PyErr_GetRaisedException());
  if (!raised || !PyErr_GivenExceptionMatches(raised.get(), PyExc_Exception)) {
    PyErr_SetRaisedException(raised.release());
    throw qm::PyErrOccurred{};
  }
  return raised;
}

qm::Ref too_deep() {
  PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while resolving a query");
  return statement_failure();
}

// One statement of a moz batch: (tree, kind, target or None, target columns).
qm::Ref analyse_one_moz(PyObject* item, PyObject* namer, PythonSchema& schema, const RecordClasses& classes) {
  if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 4) {
    qm::raise(PyExc_TypeError, "each statement must be a tuple (tree, kind, target, target_columns)");
  }
  PyObject* tree = PyTuple_GET_ITEM(item, 0);
  PyObject* kind = PyTuple_GET_ITEM(item, 1);
  PyObject* target = PyTuple_GET_ITEM(item, 2);
  PyObject* target_columns = PyTuple_GET_ITEM(item, 3);
  if (!PyUnicode_Check(kind)) qm::raise(PyExc_TypeError, "a statement's kind must be a str");
  model::Statement statement;
  statement.kind = kind_from_name(utf8_view(kind));
  if (PyUnicode_Check(target)) statement.target = model::split_dotted(utf8_view(target));
  qm::Ref columns = qm::checked(PySequence_Fast(target_columns, "target columns must be a sequence"));
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(columns.get()); ++i) {
    PyObject* column = PySequence_Fast_GET_ITEM(columns.get(), i);
    if (!PyUnicode_Check(column)) qm::raise(PyExc_TypeError, "a target column must be a str");
    statement.target_columns.push_back(model::Identifier{std::string(utf8_view(column)), false});
  }
  try {
    moz::read_tree(tree, namer, statement);
    resolve::StatementLineage lineage = resolve::resolve_statement(statement, schema);
    resolve::remember_written_table(statement, lineage, schema);
    return lineage_to_python(lineage, classes);
  } catch (const qm::PyErrOccurred&) {
    return statement_failure();
  } catch (const resolve::NestingTooDeep&) {
    return too_deep();
  }
}

// analyse_moz(statements, schema, namer, classes) -> list
qm::Ref analyse_moz(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 4) qm::raise(PyExc_TypeError, "analyse_moz() takes 4 arguments (%zd given)", nargs);
  PyObject* statements = args[0];
  PyObject* tables = args[1] == Py_None ? nullptr : args[1];
  if (tables != nullptr && !PyDict_Check(tables)) qm::raise(PyExc_TypeError, "schema must be a dict or None");
  const RecordClasses classes = classes_from(args[3]);
  PythonSchema schema(tables);
  qm::Ref items = qm::checked(PySequence_Fast(statements, "statements must be a sequence"));
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  qm::Ref results = qm::checked(PyList_New(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    qm::Ref result = analyse_one_moz(PySequence_Fast_GET_ITEM(items.get(), i), args[2], schema, classes);
    PyList_SET_ITEM(results.get(), i, result.release());
  }
  return results;
}

PyObject* analyse_moz_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return qm::guard_object([&] { return analyse_moz(args, nargs); });
}

PyMethodDef module_methods[] = {
    {"analyse_moz", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(analyse_moz_entry)), METH_FASTCALL,
     PyDoc_STR("analyse_moz(statements, schema, namer, classes) -> list\n\n"
               "Each statement is (moz tree, kind, target or None, target columns); each result is\n"
               "(columns, indirect, problems), or the exception that stopped that statement.")},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* module) noexcept {
  return qm::guard_status([&] { qm::check(PyModule_AddIntConstant(module, "HAS_NATIVE_PARSER", 0)); });
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

// analyse_moz: parse trees of moz_sql_parser, one batch per lineage() call.
#include <string_view>

#include "lineage/binding/entry_points.hpp"
#include "lineage/binding/python_text.hpp"
#include "lineage/model/names.hpp"
#include "lineage/moz_front_end/moz_adapter.hpp"

namespace lineage::binding {
namespace {

model::StatementKind kind_from_name(std::string_view name) {
  if (name == "insert") return model::StatementKind::Insert;
  if (name == "insert overwrite") return model::StatementKind::InsertOverwrite;
  if (name == "create table") return model::StatementKind::CreateTable;
  if (name == "create view") return model::StatementKind::CreateView;
  return model::StatementKind::Select;
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
  } catch (const qm::PyErrOccurred&) {
    return statement_failure();
  }
  return resolve_to_python(statement, schema, classes);
}

}  // namespace

qm::Ref analyse_moz(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 4) qm::raise(PyExc_TypeError, "analyse_moz() takes 4 arguments (%zd given)", nargs);
  PyObject* statements = args[0];
  PyObject* tables = args[1] == Py_None ? nullptr : args[1];
  if (tables != nullptr && !PyDict_Check(tables)) qm::raise(PyExc_TypeError, "schema must be a dict or None");
  const RecordClasses classes = classes_from(args[3]);
  PythonSchema schema(tables);
  // A tuple, so that the namer, which runs Python code, cannot change the batch under us.
  qm::Ref items = qm::checked(PySequence_Tuple(statements));
  const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  qm::Ref results = qm::checked(PyList_New(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    qm::Ref result = analyse_one_moz(PyTuple_GET_ITEM(items.get(), i), args[2], schema, classes);
    PyList_SET_ITEM(results.get(), i, result.release());
  }
  return results;
}

}  // namespace lineage::binding

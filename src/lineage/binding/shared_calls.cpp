// What the front-end entry points share: record classes, per-statement failures.
#include "lineage/binding/entry_points.hpp"

#include "lineage/resolve/resolve_statement.hpp"

namespace lineage::binding {

RecordClasses classes_from(PyObject* classes) {
  if (!PyTuple_Check(classes) || PyTuple_GET_SIZE(classes) != 4) {
    qm::raise(PyExc_TypeError,
              "classes must be a tuple (SourceColumn, OutputColumn, IndirectSource, StatementLineage)");
  }
  return {PyTuple_GET_ITEM(classes, 0), PyTuple_GET_ITEM(classes, 1), PyTuple_GET_ITEM(classes, 2),
          PyTuple_GET_ITEM(classes, 3)};
}

qm::Ref statement_failure() {
  qm::Ref raised = qm::Ref::steal(PyErr_GetRaisedException());
  if (!raised || !PyErr_GivenExceptionMatches(raised.get(), PyExc_Exception)) {
    PyErr_SetRaisedException(raised.release());
    throw qm::PyErrOccurred{};
  }
  return raised;
}

qm::Ref resolve_to_python(model::Statement& statement, PythonSchema& schema, const RecordClasses& classes) {
  LineageRecords records;
  qm::Ref failure = resolve_to_records(statement, schema, classes, records);
  if (failure) return failure;
  return qm::checked(PyTuple_Pack(3, records.columns.get(), records.indirect.get(), records.problems.get()));
}

qm::Ref resolve_to_records(model::Statement& statement, PythonSchema& schema, const RecordClasses& classes,
                           LineageRecords& out) {
  try {
    resolve::StatementLineage lineage = resolve::resolve_statement(statement, schema);
    resolve::remember_written_table(statement, lineage, schema);
    // The front-end's warnings come first.
    std::vector<std::string> problems;
    for (const model::Problem& problem : statement.problems) problems.push_back(problem.message);
    if (!problems.empty()) {
      problems.insert(problems.end(), lineage.problems.begin(), lineage.problems.end());
      lineage.problems.swap(problems);
    }
    out = lineage_records(lineage, classes);
    return {};
  } catch (const qm::PyErrOccurred&) {
    return statement_failure();
  } catch (const resolve::NestingTooDeep&) {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while resolving a query");
    return statement_failure();
  }
}

}  // namespace lineage::binding

// analyse_native: our own parser reads the whole text, every statement.
// Built in once src/sql_parser/parse_script.cpp exists.
#include "lineage/binding/entry_points.hpp"

#if __has_include("sql_parser/parse_script.cpp")
#define SL_NATIVE_PARSER 1
#include "common/names.hpp"
#include "lineage/binding/name_strings.hpp"
#include "lineage/binding/python_text.hpp"
#include "lineage/binding/record_maker.hpp"
#include "lineage/model/names.hpp"
#include "sql_parser/parse_script.hpp"
#endif

namespace lineage::binding {

bool native_parser_built() noexcept {
#ifdef SL_NATIVE_PARSER
  return true;
#else
  return false;
#endif
}

#ifndef SL_NATIVE_PARSER

qm::Ref analyse_native(PyObject* const*, Py_ssize_t) {
  qm::raise(PyExc_NotImplementedError, "this engine was built without the native parser");
}

#else

namespace {

// Interned once: every statement's record shares them.
PyObject* kind_name(model::StatementKind kind) {
  switch (kind) {
    case model::StatementKind::Select: return QM_NAME("select");
    case model::StatementKind::Insert:
    case model::StatementKind::InsertOverwrite: return QM_NAME("insert");
    case model::StatementKind::CreateTable: return QM_NAME("create table");
    case model::StatementKind::CreateView: return QM_NAME("create view");
    case model::StatementKind::Update: return QM_NAME("update");
    case model::StatementKind::Merge: return QM_NAME("merge");
    case model::StatementKind::Other: return QM_NAME("skipped");
  }
  return QM_NAME("skipped");
}

const model::Problem* first_error(const model::Statement& statement) {
  for (const model::Problem& problem : statement.problems) {
    if (problem.severity == model::Problem::Severity::Error) return &problem;
  }
  return nullptr;
}

// Why a statement has no lineage, in the words the command uses.
std::string failure_message(PyObject* exception) {
  if (PyErr_GivenExceptionMatches(exception, PyExc_RecursionError)) return "the query is nested too deeply to analyse";
  qm::Ref text = qm::checked(PyObject_Str(exception));
  return std::string(Py_TYPE(exception)->tp_name) + ": " + std::string(utf8_view(text.get()));
}

}  // namespace

qm::Ref analyse_native(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 4) qm::raise(PyExc_TypeError, "analyse_native() takes 4 arguments (%zd given)", nargs);
  // Checked here, in the words lineage() uses, so that its usual call goes
  // straight through.
  if (!PyUnicode_Check(args[0])) qm::raise(PyExc_TypeError, "sql must be a str, not %s", Py_TYPE(args[0])->tp_name);
  if (!PyUnicode_Check(args[1])) {
    qm::raise(PyExc_TypeError, "dialect must be a str, not %s", Py_TYPE(args[1])->tp_name);
  }
  PyObject* tables = args[2] == Py_None ? nullptr : args[2];
  if (tables != nullptr && !PyDict_Check(tables)) qm::raise(PyExc_TypeError, "schema must be a dict or None");
  const RecordClasses classes = classes_from(args[3]);
  sql_parser::Dialect dialect{};
  Py_ssize_t name_size = 0;
  const char* name = PyUnicode_AsUTF8AndSize(args[1], &name_size);
  if (name == nullptr) PyErr_Clear();  // lone surrogates: no dialect's name
  if (name == nullptr || !sql_parser::dialect_from_name({name, static_cast<std::size_t>(name_size)}, dialect)) {
    qm::raise(PyExc_ValueError, "unknown dialect %R; known: %s", args[1], sql_parser::kDialectNames);
  }
  // A str may hold lone surrogates, which UTF-8 cannot carry: their bytes are
  // passed through as they are, for the parser to reject in the statement
  // holding them, so the other statements still get their lineage.
  qm::Ref passed;
  std::string_view text;
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(args[0], &size)) {
    text = std::string_view(data, static_cast<std::size_t>(size));
  } else {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw qm::PyErrOccurred{};
    PyErr_Clear();
    passed = qm::checked(PyUnicode_AsEncodedString(args[0], "utf-8", "surrogatepass"));
    text = std::string_view(PyBytes_AS_STRING(passed.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(passed.get())));
  }
  std::vector<model::Statement> statements = sql_parser::parse_script(text, dialect);

  const RecordMaker make_statement = statement_maker(classes);
  PythonSchema schema(tables);
  qm::Ref empty = qm::checked(PyTuple_New(0));
  qm::Ref results = qm::checked(PyList_New(static_cast<Py_ssize_t>(statements.size())));
  for (std::size_t k = 0; k < statements.size(); ++k) {
    model::Statement& statement = statements[k];
    qm::Ref index = qm::checked(PyLong_FromSize_t(k + 1));
    qm::Ref line = qm::checked(PyLong_FromUnsignedLong(statement.at.line));
    PyObject* kind = kind_name(statement.kind);
    qm::Ref target = statement.target.empty() ? qm::Ref::borrow(Py_None)
                                              : name_string(model::joined(statement.target, statement.target.size()));
    const std::size_t begin = std::min<std::size_t>(statement.text_begin, text.size());
    const std::size_t end = std::min<std::size_t>(std::max(statement.text_end, statement.text_begin), text.size());
    // A text of one statement and nothing around it is its own statement.
    qm::Ref sql = begin == 0 && end == text.size() && !passed && PyUnicode_CheckExact(args[0])
                      ? qm::Ref::borrow(args[0])
                      : text_string(text.substr(begin, end - begin));
    PyObject* status = nullptr;
    qm::Ref message, columns = empty, indirect = empty, problems = empty;
    if (const model::Problem* error = first_error(statement)) {
      status = QM_NAME("failed");
      message = text_string(error->message);
    } else if (statement.kind == model::StatementKind::Other) {
      status = QM_NAME("skipped");
      message = text_string((statement.keyword.empty() ? std::string("this") : statement.keyword) +
                     " statement: no column lineage");
    } else {
      LineageRecords records;
      if (qm::Ref failure = resolve_to_records(statement, schema, classes, records)) {
        status = QM_NAME("failed");
        message = text_string(failure_message(failure.get()));
      } else {
        status = QM_NAME("ok");
        message = qm::Ref::borrow(Py_None);
        columns = std::move(records.columns);
        indirect = std::move(records.indirect);
        problems = std::move(records.problems);
      }
    }
    qm::Ref record = make_statement.make(index.get(), line.get(), kind, target.get(), status,
                                         message.get(), columns.get(), indirect.get(), problems.get(), sql.get());
    PyList_SET_ITEM(results.get(), static_cast<Py_ssize_t>(k), record.release());
  }
  return results;
}

#endif

}  // namespace lineage::binding

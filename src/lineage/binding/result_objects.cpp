#include "lineage/binding/result_objects.hpp"

#include <algorithm>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/calls.hpp"
#include "common/names.hpp"
#include "lineage/binding/name_strings.hpp"
#include "lineage/binding/python_text.hpp"
#include "lineage/binding/record_maker.hpp"

namespace lineage::binding {
namespace {

PyObject* usage_name(model::Usage usage) {
  switch (usage) {
    case model::Usage::Identity: return QM_NAME("IDENTITY");
    case model::Usage::Transformation: return QM_NAME("TRANSFORMATION");
    case model::Usage::Aggregation: return QM_NAME("AGGREGATION");
  }
  return QM_NAME("TRANSFORMATION");
}

PyObject* kind_name(resolve::IndirectKind kind) {
  switch (kind) {
    case resolve::IndirectKind::Join: return QM_NAME("JOIN");
    case resolve::IndirectKind::Filter: return QM_NAME("FILTER");
    case resolve::IndirectKind::GroupBy: return QM_NAME("GROUP_BY");
    case resolve::IndirectKind::Sort: return QM_NAME("SORT");
    case resolve::IndirectKind::Window: return QM_NAME("WINDOW");
    case resolve::IndirectKind::Conditional: return QM_NAME("CONDITIONAL");
  }
  return QM_NAME("FILTER");
}

// The (database, table) strings of each table, made once per statement.
struct TableStrings {
  struct Names {
    qm::Ref database;
    qm::Ref table;
  };
  std::vector<Names> names;

  explicit TableStrings(const std::vector<resolve::TableName>& tables) {
    names.reserve(tables.size());
    for (const resolve::TableName& name : tables) {
      names.push_back({name.has_database ? name_string(name.database) : qm::Ref::borrow(Py_None),
                       name_string(name.table)});
    }
  }
  PyObject* database(std::size_t table) const { return names[table].database.get(); }
  PyObject* table(std::size_t table) const { return names[table].table.get(); }
};

PyObject* flag(bool value) { return value ? Py_True : Py_False; }

struct Makers {
  PyObject* classes[4];
  RecordMaker source_column;
  RecordMaker output_column;
  RecordMaker indirect_source;
  RecordMaker statement_lineage;
};

Makers make_makers(const RecordClasses& classes) {
  return Makers{
      {classes.source_column, classes.output_column, classes.indirect_source, classes.statement_lineage},
      RecordMaker(classes.source_column, {"database", "table", "column", "transformation", "ambiguous"}),
      RecordMaker(classes.output_column, {"name", "sources"}),
      RecordMaker(classes.indirect_source, {"database", "table", "column", "kind", "ambiguous"}),
      RecordMaker(classes.statement_lineage, {"index", "line", "kind", "target", "status", "message", "columns",
                                              "indirect", "problems", "sql"}),
  };
}

// The makers for the first record classes seen (those of sql_lineage.results),
// kept for the life of the process with strong references to the classes, so
// that a call does not inspect them again. Other classes get makers per call,
// made in `other`.
const Makers& makers_for(const RecordClasses& classes, std::optional<Makers>& other) {
  static Makers* cached = nullptr;
  const PyObject* wanted[] = {classes.source_column, classes.output_column, classes.indirect_source,
                              classes.statement_lineage};
  if (cached != nullptr) {
    if (std::equal(std::begin(wanted), std::end(wanted), std::begin(cached->classes))) return *cached;
    return other.emplace(make_makers(classes));
  }
  cached = new Makers(make_makers(classes));
  for (PyObject* cls : cached->classes) Py_XINCREF(cls);
  return *cached;
}

}  // namespace

RecordMaker statement_maker(const RecordClasses& classes) {
  std::optional<Makers> other;
  return makers_for(classes, other).statement_lineage;
}

LineageRecords lineage_records(const resolve::StatementLineage& lineage, const RecordClasses& classes) {
  TableStrings tables(lineage.tables);
  std::optional<Makers> other;
  const Makers& makers = makers_for(classes, other);
  const RecordMaker& source_column = makers.source_column;
  const RecordMaker& output_column = makers.output_column;
  const RecordMaker& indirect_source = makers.indirect_source;

  qm::Ref columns = qm::checked(PyTuple_New(static_cast<Py_ssize_t>(lineage.columns.size())));
  for (std::size_t k = 0; k < lineage.columns.size(); ++k) {
    const resolve::OutputLineage& column = lineage.columns[k];
    qm::Ref sources = qm::checked(PyTuple_New(static_cast<Py_ssize_t>(column.sources.size())));
    // An output most often bears the name of a column it reads: that string is shared.
    qm::Ref name;
    for (std::size_t i = 0; i < column.sources.size(); ++i) {
      const resolve::SourceColumn& source = column.sources[i];
      qm::Ref source_name = name_string(source.column);
      if (!name && source.column == column.name) name = source_name;
      qm::Ref record = source_column.make(tables.database(source.table), tables.table(source.table),
                                          source_name.get(), usage_name(source.usage), flag(source.ambiguous));
      PyTuple_SET_ITEM(sources.get(), static_cast<Py_ssize_t>(i), record.release());
    }
    if (!name) name = name_string(column.name);
    qm::Ref record = output_column.make(name.get(), sources.get());
    PyTuple_SET_ITEM(columns.get(), static_cast<Py_ssize_t>(k), record.release());
  }

  qm::Ref indirect = qm::checked(PyTuple_New(static_cast<Py_ssize_t>(lineage.indirect.size())));
  for (std::size_t k = 0; k < lineage.indirect.size(); ++k) {
    const resolve::IndirectColumn& item = lineage.indirect[k];
    qm::Ref name = name_string(item.column);
    qm::Ref record = indirect_source.make(tables.database(item.table), tables.table(item.table), name.get(),
                                          kind_name(item.kind), flag(item.ambiguous));
    PyTuple_SET_ITEM(indirect.get(), static_cast<Py_ssize_t>(k), record.release());
  }

  qm::Ref problems = qm::checked(PyTuple_New(static_cast<Py_ssize_t>(lineage.problems.size())));
  for (std::size_t k = 0; k < lineage.problems.size(); ++k) {
    PyTuple_SET_ITEM(problems.get(), static_cast<Py_ssize_t>(k), text_string(lineage.problems[k]).release());
  }
  return {std::move(columns), std::move(indirect), std::move(problems)};
}

}  // namespace lineage::binding

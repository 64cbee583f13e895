// Resolved lineage to the Python records of sql_lineage.results.
#pragma once

#include "common/error.hpp"
#include "lineage/binding/record_maker.hpp"
#include "lineage/resolve/lineage_result.hpp"

namespace lineage::binding {

// The record classes, borrowed from the caller for the duration of a call.
struct RecordClasses {
  PyObject* source_column = nullptr;    // SourceColumn(database, table, column, transformation, ambiguous)
  PyObject* output_column = nullptr;    // OutputColumn(name, sources)
  PyObject* indirect_source = nullptr;  // IndirectSource(database, table, column, kind, ambiguous)
  PyObject* statement_lineage = nullptr;  // StatementLineage(index, line, kind, target, status, ...)
};

// Makes StatementLineage records.
RecordMaker statement_maker(const RecordClasses& classes);

// A statement's records: tuples of OutputColumn, IndirectSource and str.
struct LineageRecords {
  qm::Ref columns;
  qm::Ref indirect;
  qm::Ref problems;
};

LineageRecords lineage_records(const resolve::StatementLineage& lineage, const RecordClasses& classes);

}  // namespace lineage::binding

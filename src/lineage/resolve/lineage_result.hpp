// What resolution makes of one statement: each output column's table columns
// and the table columns that decide which rows exist or their order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lineage/model/query_model.hpp"

namespace lineage::resolve {

enum class IndirectKind : std::uint8_t { Join, Filter, GroupBy, Sort, Window, Conditional };

struct TableName {
  std::string database;  // every part before the table's own name, joined by "."
  bool has_database = false;
  std::string table;
};

struct SourceColumn {
  std::int32_t table = 0;  // index into StatementLineage::tables
  std::string column;      // "*" when the table's columns are unknown
  model::Usage usage = model::Usage::Identity;
  bool ambiguous = false;
};

struct OutputLineage {
  std::string name;
  std::vector<SourceColumn> sources;
};

struct IndirectColumn {
  std::int32_t table = 0;
  std::string column;
  IndirectKind kind = IndirectKind::Filter;
  bool ambiguous = false;
};

struct StatementLineage {
  std::vector<TableName> tables;
  std::vector<OutputLineage> columns;
  std::vector<IndirectColumn> indirect;
  std::vector<std::string> problems;
};

// Thrown when the scopes nest deeper than the native stack allows.
struct NestingTooDeep {};

}  // namespace lineage::resolve

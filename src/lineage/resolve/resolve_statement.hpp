// Resolution: a query-model statement to its direct and indirect lineage.
#pragma once

#include "lineage/model/schema.hpp"
#include "lineage/resolve/lineage_result.hpp"

namespace lineage::resolve {

// Scope by scope, children first; each scope's outputs are resolved once and
// reused, so the cost is linear in the statement's size. Never throws for a
// strange model (unknown names become problems or ambiguous rows); throws
// NestingTooDeep when scopes nest beyond the native stack, std::bad_alloc when
// memory runs out.
StatementLineage resolve_statement(const model::Statement& statement, model::Schema& schema);

// After a statement that writes a table with known columns (CREATE TABLE AS,
// INSERT with a column list), later statements of the same run see them.
void remember_written_table(const model::Statement& statement, const StatementLineage& lineage,
                            model::Schema& schema);

}  // namespace lineage::resolve

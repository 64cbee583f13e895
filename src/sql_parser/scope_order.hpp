// Resolution wants every scope after its parent in the arena; the parser makes
// a query's own scope only once it knows its shape (after its WITH and its
// first member), so statements are renumbered once they are read.
#pragma once

#include "lineage/model/query_model.hpp"

namespace sql_parser {

// Reorders `statement.scopes` so that each parent comes before its children
// (siblings keep their order) and rewrites every scope index.
void order_scopes_parent_first(lineage::model::Statement& statement);

}  // namespace sql_parser

// The moz_sql_parser front-end: its parse tree (dicts, lists, str and numbers)
// to a query-model statement. The only place that knows moz's tree shape.
#pragma once

#include "common/error.hpp"
#include "lineage/model/query_model.hpp"

namespace lineage::moz {

// Fills `statement`'s scopes from `tree` and sets its root. Shapes it does not
// know are left out, never an error. `namer` (a callable or None) makes the
// output name of an unaliased expression from its sub-tree. Throws
// qm::PyErrOccurred (RecursionError for a tree nested too deeply, or what
// `namer` raised).
void read_tree(PyObject* tree, PyObject* namer, model::Statement& statement);

}  // namespace lineage::moz

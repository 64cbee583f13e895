// The lineage analyser class Analyze.
#pragma once
#include "common/native_function.hpp"

namespace qm {

// The methods of Analyze, in class order.
MethodTable analyze_methods();

// Method bodies; args[0] is self except for the static _one_search_other.
Ref analyze_init(PyObject* const* args);                     // self, tree
Ref analyze_analyze_sql(PyObject* const* args);              // self, level
Ref analyze_sql_start(PyObject* const* args);                // self, tree, level
Ref analyze_from_value(PyObject* const* args);               // self, tree, level
Ref analyze_from_value_master(PyObject* const* args);        // self, tree, column, level
Ref analyze_master_from_value(PyObject* const* args);        // self, tree, column, level
Ref analyze_none_master_from_value(PyObject* const* args);   // self, tree, column, level
Ref analyze_check_union(PyObject* const* args);              // self, level
Ref analyze_get_all_select_value(PyObject* const* args);     // self, tree, level
Ref analyze_select_value(PyObject* const* args);             // self, tree, select_value_list, level, master
Ref analyze_column(PyObject* const* args);                   // self, tree, column, level
Ref analyze_column_asterisk(PyObject* const* args);          // self, tree, column, level
Ref analyze_one_replace_other(PyObject* const* args);        // self, full_path, one, other
Ref analyze_one_search_other(PyObject* const* args);         // tree, full_path, one, other

}  // namespace qm

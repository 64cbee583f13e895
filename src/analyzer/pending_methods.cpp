// Placeholder bodies, replaced one by one as the analyser is written.
#include "analyzer.hpp"

namespace qm {
namespace {
Ref pending(const char* name) { raise(PyExc_NotImplementedError, "%s is not built yet", name); }
}  // namespace

Ref analyze_init(PyObject* const*) { return pending("__init__"); }
Ref analyze_analyze_sql(PyObject* const*) { return pending("analyze_sql"); }
Ref analyze_sql_start(PyObject* const*) { return pending("_analyze_sql_start"); }
Ref analyze_from_value(PyObject* const*) { return pending("_analyze_from_value"); }
Ref analyze_from_value_master(PyObject* const*) { return pending("_analyze_from_value_master"); }
Ref analyze_master_from_value(PyObject* const*) { return pending("_master_from_value"); }
Ref analyze_none_master_from_value(PyObject* const*) { return pending("_none_master_from_value"); }
Ref analyze_check_union(PyObject* const*) { return pending("_check_union"); }
Ref analyze_get_all_select_value(PyObject* const*) { return pending("_get_all_select_value"); }
Ref analyze_select_value(PyObject* const*) { return pending("_analyze_select_value"); }
Ref analyze_column(PyObject* const*) { return pending("_analyze_column"); }
Ref analyze_column_asterisk(PyObject* const*) { return pending("_analyze_column_asterisk"); }
Ref analyze_one_replace_other(PyObject* const*) { return pending("_one_replace_other"); }
Ref analyze_one_search_other(PyObject* const*) { return pending("_one_search_other"); }

}  // namespace qm

// Helpers the analyser's methods share: reaching the state record, the result map
// and its column entries afresh at every use, and recording lineage entries.
#pragma once
#include "analyzer.hpp"
#include "common/calls.hpp"
#include "common/names.hpp"
#include "common/process_state.hpp"
#include "external/record.hpp"
#include "external/tree_query.hpp"
#include "module/own_methods.hpp"

namespace qm {

// self.<name>(*args) for a method of the analyser, whose body is `body`.
template <class... Args>
Ref call_analyzer(PyObject* self, PyObject* name, MethodBody body, Args... args) {
  return call_own(analyze_class_record(), self, name, body, args...);
}

// self._one_search_other(tree, full_path, one, other)
inline Ref search_other(PyObject* self, PyObject* tree, PyObject* full_path, PyObject* one,
                        PyObject* other) {
  return call_own_static(analyze_class_record(), self, QM_NAME("_one_search_other"),
                         analyze_one_search_other, tree, full_path, one, other);
}

// The None every method body returns.
inline Ref none() { return Ref::borrow(Py_None); }

// self._var
inline Ref state_record(PyObject* self) { return getattr(self, QM_NAME("_var")); }

// self._var.result
inline Ref result_map(PyObject* self) {
  return field(state_record(self).get(), QM_NAME("result"));
}

// self._var.result.get(column): never cached, every read and write goes through it.
inline Ref column_entry(PyObject* self, PyObject* column) {
  return mapping_get(result_map(self).get(), column);
}

// self._var.result.get(column).<name>
inline Ref entry_field(PyObject* self, PyObject* column, PyObject* name) {
  return field(column_entry(self, column).get(), name);
}
inline void set_entry_field(PyObject* self, PyObject* column, PyObject* name, PyObject* value) {
  set_field(column_entry(self, column).get(), name, value);
}

// The column reads from `table`: sets its table and table_column (its own source
// name) and appends the lineage entry (table, value, name).
void record_table(PyObject* self, PyObject* column, PyObject* table);

// self._var.sqls.append((source_table, source_column, output_name))
void append_lineage(PyObject* self, PyObject* source_table, PyObject* source_column,
                    PyObject* output_name);

// "$." + text, for a str `text`: a match's path made absolute.
inline Ref absolute_path(PyObject* text) {
  return checked(PyUnicode_Concat(QM_NAME("$."), text));
}

// text.split(separator)
inline Ref split_text(PyObject* text, PyObject* separator) {
  if (PyUnicode_CheckExact(text)) return checked(PyUnicode_Split(text, separator, -1));
  return call_method(text, QM_NAME("split"), separator);
}

// full_path.split("one")[:full_path.count("one")]: the pieces of a path before the
// last occurrence of the text "one", where a path is cut to reach a neighbour.
Ref pieces_before_last_one(PyObject* full_path);

// Alias and qualifier comparison: SQL names compare without regard to letter case.
bool names_match(PyObject* alias, PyObject* qualifier);

// The built-in print, as bound when the module started (or found now).
void print_values(PyObject* first, PyObject* second = nullptr);

// Carries the findings of a sub-query over to the outer column `column`: analyses
// `subquery` one level deeper, then a whole-row entry takes the sub-query's lineage
// unchanged, and any other column takes what the sub-query produced under the name
// the outer query asks for, with the master it had there. The column is then
// dispatched again when that master is true and is not `scan_master` (the alias
// being resolved, when given): the same alias would only lead back into this
// sub-query, and the running scan goes on to its other occurrences.
void carry_over_subquery(PyObject* self, PyObject* tree, PyObject* column, PyObject* level,
                         PyObject* subquery, PyObject* scan_master);

}  // namespace qm

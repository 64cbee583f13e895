// FROM-source resolution for qualified columns: the qualifier leads through a FROM
// alias to a table, or to a sub-query whose findings are carried over.
#include "analyzer.hpp"
#include "analyzer_state.hpp"
#include "common/unpack.hpp"
#include "source_naming.hpp"
#include "subquery_reuse.hpp"

namespace qm {
namespace {

// Does `qualifier` name `table_text` ("t" names both "t" and "db.t")?
bool qualifier_names_table(PyObject* qualifier, PyObject* table_text) {
  if (names_match(table_text, qualifier)) return true;
  Ref pieces = checked(PyUnicode_RSplit(table_text, QM_NAME("."), 1));
  const Py_ssize_t count = PyList_GET_SIZE(pieces.get());
  if (count < 2) return false;
  return names_match(PyList_GET_ITEM(pieces.get(), count - 1), qualifier);
}

// The tables of the statement's own FROM written without an alias: the texts
// directly in its "from" member (or in that list), and the texts directly under a
// join key of a list element.
Ref unaliased_tables(PyObject* tree) {
  Ref out_list = checked(PyList_New(0));
  if (!PyDict_Check(tree)) return out_list;
  PyObject* from = nullptr;
  check(PyDict_GetItemRef(tree, QM_NAME("from"), &from));
  Ref source = Ref::steal(from);
  if (!source) return out_list;
  if (PyUnicode_Check(source.get())) {
    check(PyList_Append(out_list.get(), source.get()));
    return out_list;
  }
  if (!PyList_Check(source.get())) return out_list;
  Ref elements = checked(PySequence_List(source.get()));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(elements.get()); ++i) {
    PyObject* element = PyList_GET_ITEM(elements.get(), i);
    if (PyUnicode_Check(element)) {
      check(PyList_Append(out_list.get(), element));
    } else if (PyDict_Check(element)) {
      Ref items = checked(PyDict_Items(element));
      for (Py_ssize_t k = 0; k < PyList_GET_SIZE(items.get()); ++k) {
        PyObject* pair = PyList_GET_ITEM(items.get(), k);
        PyObject* joined = PyTuple_GET_ITEM(pair, 1);
        if (is_join_key(PyTuple_GET_ITEM(pair, 0)) && PyUnicode_Check(joined)) {
          check(PyList_Append(out_list.get(), joined));
        }
      }
    }
  }
  return out_list;
}

// A qualifier that is no alias but names a table the statement reads directly.
void resolve_table_qualifier(PyObject* self, PyObject* tree, PyObject* column,
                             PyObject* qualifier) {
  if (!PyUnicode_Check(qualifier)) return;
  Ref tables = unaliased_tables(tree);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(tables.get()); ++i) {
    PyObject* table = PyList_GET_ITEM(tables.get(), i);
    if (qualifier_names_table(qualifier, table)) record_table(self, column, table);
  }
}

// Carries over the sub-query's entries whose output name is `test_column`,
// renamed to the outer column's name `test_name`, in their order.
void carry_entries_scanning(PyObject* self, PyObject* sqls, PyObject* test_column,
                            PyObject* test_name) {
  Ref iterator = checked(PyObject_GetIter(sqls));
  while (Ref entry = Ref::steal(PyIter_Next(iterator.get()))) {
    Ref items[3];
    unpack_three(entry.get(), items);
    if (equal(items[2].get(), test_column)) append_lineage(self, items[0].get(), items[1].get(), test_name);
  }
  if (PyErr_Occurred()) throw PyErrOccurred{};
}

// The same through the sub-query's entries grouped by output name.
void carry_entries_named(PyObject* self, PyObject* index, PyObject* test_column,
                         PyObject* test_name) {
  PyObject* group = nullptr;
  check(PyDict_GetItemRef(index, test_column, &group));
  Ref entries = Ref::steal(group);
  if (!entries) return;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
    PyObject* entry = PyList_GET_ITEM(entries.get(), i);
    append_lineage(self, PyTuple_GET_ITEM(entry, 0), PyTuple_GET_ITEM(entry, 1), test_name);
  }
}

void dispatch(PyObject* self, PyObject* tree, PyObject* column, PyObject* level) {
  call_analyzer(self, QM_NAME("_analyze_from_value_master"), analyze_from_value_master, tree, column,
                level);
}

}  // namespace

// _analyze_from_value(tree, level): resolve every column entry of the statement.
Ref analyze_from_value(PyObject* const* args) {
  PyObject* self = args[0];
  PyObject* tree = args[1];
  PyObject* level = args[2];
  Ref result = result_map(self);
  Ref items = record_method(result.get(), QM_NAME("items"));
  Ref iterator = checked(PyObject_GetIter(items.get()));
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    Ref column = checked(PySequence_GetItem(item.get(), 0));
    dispatch(self, tree, column.get(), level);
  }
  if (PyErr_Occurred()) throw PyErrOccurred{};
  return none();
}

// _analyze_from_value_master(tree, column, level): the dispatcher.
Ref analyze_from_value_master(PyObject* const* args) {
  PyObject* self = args[0];
  PyObject* tree = args[1];
  PyObject* column = args[2];
  PyObject* level = args[3];
  Ref table = mapping_get(column_entry(self, column).get(), QM_NAME("table"));
  if (truthy(table.get())) return none();
  Ref master = entry_field(self, column, QM_NAME("master"));
  if (truthy(master.get())) {
    call_analyzer(self, QM_NAME("_master_from_value"), analyze_master_from_value, tree, column, level);
  } else {
    call_analyzer(self, QM_NAME("_none_master_from_value"), analyze_none_master_from_value, tree,
                  column, level);
  }
  return none();
}

// _master_from_value(tree, column, level): every FROM alias equal to the master
// the column had when the scan began is resolved, in the order of the aliases.
Ref analyze_master_from_value(PyObject* const* args) {
  PyObject* self = args[0];
  PyObject* tree = args[1];
  PyObject* column = args[2];
  PyObject* level = args[3];

  // A master handed over by a sub-query during this scan is resolved by the
  // re-dispatch, not compared with the aliases that follow.
  Ref master = entry_field(self, column, QM_NAME("master"));
  bool alias_found = false;

  Ref aliases = field(state_record(self).get(), QM_NAME("all_from_name"));
  Ref iterator = checked(PyObject_GetIter(aliases.get()));
  while (Ref match = Ref::steal(PyIter_Next(iterator.get()))) {
    Ref alias = getattr(match.get(), QM_NAME("value"));
    if (!names_match(alias.get(), master.get())) continue;
    alias_found = true;
    Ref full_path = getattr(match.get(), QM_NAME("full_path"));
    Ref source = search_other(self, tree, full_path.get(), QM_NAME("name"), QM_NAME("value"));
    if (PyUnicode_Check(source.get())) {
      record_table(self, column, source.get());
    } else if (PyDict_Check(source.get())) {
      carry_over_subquery(self, tree, column, level, source.get(), master.get());
    } else {
      print_values(column, source.get());
      Ref shown = sources_for_message(source.get());
      raise(PyExc_RuntimeError,
            "cannot resolve column %R: the FROM source of alias %R is neither a table name "
            "nor a sub-query: %R",
            column, alias.get(), shown.get());
    }
  }
  if (PyErr_Occurred()) throw PyErrOccurred{};
  if (!alias_found) resolve_table_qualifier(self, tree, column, master.get());
  return none();
}

void carry_over_subquery(PyObject* self, PyObject* tree, PyObject* column, PyObject* level,
                         PyObject* subquery, PyObject* scan_master) {
  Ref one = checked(PyLong_FromLong(1));
  Ref deeper = checked(PyNumber_Add(level, one.get()));
  SubqueryAnalysis analysis = analyse_subquery(subquery, deeper.get());
  PyObject* test = analysis.analyzer.get();

  Ref test_column = entry_field(self, column, QM_NAME("value"));
  Ref test_name = entry_field(self, column, QM_NAME("name"));
  Ref test_var = state_record(test);
  Ref test_result = field(test_var.get(), QM_NAME("result"));
  Ref test_sqls = field(test_var.get(), QM_NAME("sqls"));

  // `select * from (...) s` outputs the sub-query's columns under their own names.
  if (equal(test_column.get(), QM_NAME("*"))) {
    PyObject* entries = analysis.distinct_entries ? analysis.distinct_entries.get() : test_sqls.get();
    Ref iterator = checked(PyObject_GetIter(entries));
    while (Ref entry = Ref::steal(PyIter_Next(iterator.get()))) {
      Ref items[3];
      unpack_three(entry.get(), items);
      append_lineage(self, items[0].get(), items[1].get(), items[2].get());
    }
    if (PyErr_Occurred()) throw PyErrOccurred{};
    return;
  }

  Ref handed;  // the sub-query's entry the column is traced through
  bool through_star = false;
  Ref star = mapping_get(test_result.get(), QM_NAME("*"));
  if (truthy(star.get())) {
    handed = star;
    through_star = true;
  } else {
    Ref same_name = mapping_get(test_result.get(), test_column.get());
    if (!truthy(same_name.get())) return;  // the sub-query has no such column
    handed = same_name;
  }

  Ref handed_master = field(handed.get(), QM_NAME("master"));
  set_entry_field(self, column, QM_NAME("master"), handed_master.get());
  Ref table = mapping_get(handed.get(), QM_NAME("table"));
  if (truthy(table.get())) {
    Ref table_name = field(handed.get(), QM_NAME("table"));
    set_entry_field(self, column, QM_NAME("table"), table_name.get());
    if (through_star) {
      // The column keeps its own name through a star.
      set_entry_field(self, column, QM_NAME("table_column"), test_column.get());
      append_lineage(self, table_name.get(), test_column.get(), test_name.get());
    } else {
      Ref table_column = field(handed.get(), QM_NAME("table_column"));
      set_entry_field(self, column, QM_NAME("table_column"), table_column.get());
      if (analysis.by_output_name && PyUnicode_CheckExact(test_column.get())) {
        carry_entries_named(self, analysis.by_output_name.get(), test_column.get(),
                            test_name.get());
      } else {
        carry_entries_scanning(self, test_sqls.get(), test_column.get(), test_name.get());
      }
    }
  }
  // Only a true master leads anywhere: a false one (a sub-query without FROM) would
  // send the column to the single-source lookup, which finds this same alias again.
  // The alias being resolved would only lead back into this sub-query.
  const bool redispatch = truthy(handed_master.get()) &&
                          (scan_master == nullptr || !names_match(handed_master.get(), scan_master));
  if (redispatch) dispatch(self, tree, column, level);
}

}  // namespace qm

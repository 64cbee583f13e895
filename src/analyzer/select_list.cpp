// SELECT-list resolution: one column entry per selected text, stored under its
// output name, and `alias.*` expanded through the sub-query the alias names.
#include "analyzer.hpp"
#include "analyzer_state.hpp"

namespace qm {
namespace {

// self._var.result.add(**{key: {"value": value, "name": name, "master": master,
// "path": path}})
void add_column_entry(PyObject* self, PyObject* key, PyObject* value, PyObject* name,
                      PyObject* master, PyObject* path) {
  Ref result = result_map(self);
  Ref entry = new_mapping_for(result.get());
  check(PyDict_SetItem(entry.get(), QM_NAME("value"), value));
  check(PyDict_SetItem(entry.get(), QM_NAME("name"), name));
  check(PyDict_SetItem(entry.get(), QM_NAME("master"), master));
  check(PyDict_SetItem(entry.get(), QM_NAME("path"), path));
  add_field(result.get(), key, entry.get());
}

// For a qualified text "q.c" (or "db.t.c"): the pieces at 0 and 1 of its split at ".".
void split_qualified(PyObject* text, Ref& qualifier, Ref& name) {
  Ref pieces = split_text(text, QM_NAME("."));
  qualifier = checked(PySequence_GetItem(pieces.get(), 0));
  name = checked(PySequence_GetItem(pieces.get(), 1));
}

bool is_text(PyObject* obj) { return PyUnicode_Check(obj); }

}  // namespace

// _analyze_select_value(tree, select_value_list, level, master=None)
Ref analyze_select_value(PyObject* const* args) {
  PyObject* self = args[0];
  PyObject* tree = args[1];
  PyObject* select_value_list = args[2];
  PyObject* level = args[3];
  Ref master = Ref::borrow(args[4]);
  // While `alias.*` is expanded, the alias arrives as `master`; entries that keep
  // it are found by the outer query under their output names.
  bool master_handed_in = args[4] != Py_None;

  // A whole-row selection written as the analyser's own select member.
  Ref own_tree = getattr(self, QM_NAME("tree"));
  Ref select_member = mapping_get(own_tree.get(), QM_NAME("select"));
  if (truthy(select_member.get())) {
    Ref again = mapping_get(getattr(self, QM_NAME("tree")).get(), QM_NAME("select"));
    if (contains(again.get(), QM_NAME("*"))) {
      Ref select_value =
          mapping_get(getattr(self, QM_NAME("tree")).get(), QM_NAME("select"));
      Ref value;
      if (!is_text(select_value.get())) {
        // A star among other items: the whole row, under the name "*".
        value = Ref::borrow(QM_NAME("*"));
      } else if (contains(select_value.get(), QM_NAME("."))) {
        Ref qualifier;
        split_qualified(select_value.get(), qualifier, value);
        master = qualifier;
        master_handed_in = false;
      } else {
        value = select_value;
      }
      add_column_entry(self, QM_NAME("*"), value.get(), value.get(), master.get(),
                       QM_NAME("$.select"));
    }
  }

  // One entry per selected text.
  Ref iterator = checked(PyObject_GetIter(select_value_list));
  while (Ref match = Ref::steal(PyIter_Next(iterator.get()))) {
    Ref selected = getattr(match.get(), QM_NAME("value"));
    // Numbers, booleans and nulls have no lineage and leave the carried master alone.
    if (!is_text(selected.get())) continue;
    Ref value;
    if (contains(selected.get(), QM_NAME("."))) {
      Ref qualifier;
      split_qualified(selected.get(), qualifier, value);
      master = qualifier;
      master_handed_in = false;
    } else {
      value = selected;
    }
    Ref full_path = getattr(match.get(), QM_NAME("full_path"));
    Ref column = search_other(self, tree, full_path.get(), QM_NAME("value"), QM_NAME("name"));
    Ref full_path_text = checked(PyObject_Str(full_path.get()));
    Ref path = absolute_path(full_path_text.get());
    if (!truthy(column.get())) column = value;
    if (master_handed_in) value = column;
    add_column_entry(self, column.get(), value.get(), column.get(), master.get(), path.get());
    call_analyzer(self, QM_NAME("_analyze_column"), analyze_column, tree, column.get(), level);
  }
  if (PyErr_Occurred()) throw PyErrOccurred{};
  return none();
}

// _analyze_column(tree, column, level): a whole-row item is expanded and, when a
// sub-query supplied columns in its place, removed.
Ref analyze_column(PyObject* const* args) {
  PyObject* self = args[0];
  PyObject* tree = args[1];
  PyObject* column = args[2];
  PyObject* level = args[3];
  Ref value = entry_field(self, column, QM_NAME("value"));
  if (!equal(value.get(), QM_NAME("*"))) return none();
  Ref expanded = call_analyzer(self, QM_NAME("_analyze_column_asterisk"), analyze_column_asterisk, tree,
                                 column, level);
  if (truthy(expanded.get())) {
    // A nested expansion under the same key may have removed the entry already.
    Ref result = result_map(self);
    if (contains(result.get(), column)) record_method(result.get(), QM_NAME("pop"), column);
  }
  return none();
}

// _analyze_column_asterisk(tree, column, level): adds the columns of every
// sub-query whose alias the whole-row item names. Returns True when at least one
// such sub-query selects a text value, False when the entry has to stay (the
// alias names a table, or nothing that could be expanded).
Ref analyze_column_asterisk(PyObject* const* args) {
  PyObject* self = args[0];
  PyObject* tree = args[1];
  PyObject* column = args[2];
  PyObject* level = args[3];
  bool expanded = false;

  // The master is read again for every alias: a nested `alias.*` stored under the
  // same key replaces the entry, and the rest of this scan follows the inner alias,
  // which is how a chain of stars reaches its innermost sub-query. Once a nested
  // expansion has removed the entry, the scan goes on with the alias the item had
  // when this expansion began.
  const Ref initial_master = entry_field(self, column, QM_NAME("master"));
  Ref aliases = getattr(state_record(self).get(), QM_NAME("all_from_name"));
  Ref iterator = checked(PyObject_GetIter(aliases.get()));
  while (Ref match = Ref::steal(PyIter_Next(iterator.get()))) {
    Ref alias = getattr(match.get(), QM_NAME("value"));
    Ref result = result_map(self);
    const Ref master = contains(result.get(), column)
                           ? entry_field(self, column, QM_NAME("master"))
                           : initial_master;
    if (!names_match(alias.get(), master.get())) continue;
    Ref full_path = getattr(match.get(), QM_NAME("full_path"));
    Ref source = search_other(self, tree, full_path.get(), QM_NAME("name"), QM_NAME("value"));
    // A table (text) or a source that cannot be found has no columns to expand.
    if (!PyDict_Check(source.get())) continue;
    Ref select_values = find_all(source.get(), QM_NAME("$.select..value"));
    Ref values = checked(PySequence_List(select_values.get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()) && !expanded; ++i) {
      Ref selected = getattr(PyList_GET_ITEM(values.get(), i), QM_NAME("value"));
      expanded = is_text(selected.get());
    }
    call_analyzer(self, QM_NAME("_analyze_select_value"), analyze_select_value, source.get(),
                  select_values.get(), level, alias.get());
  }
  if (PyErr_Occurred()) throw PyErrOccurred{};
  return Ref::borrow(expanded ? Py_True : Py_False);
}

}  // namespace qm

// The analyser object, its entry operation and the walk over each statement.
#include "analyzer.hpp"
#include "analyzer_state.hpp"
#include "subquery_reuse.hpp"
#include "tree_normaliser.hpp"

namespace qm {
namespace {

// self._var.result = <fresh empty mapping>
void reset_result_map(PyObject* self) {
  Ref record = state_record(self);
  Ref empty = new_mapping_for(record.get());
  set_field(record.get(), QM_NAME("result"), empty.get());
}

// key in tree.keys()
bool has_key(PyObject* tree, PyObject* key) {
  if (PyDict_CheckExact(tree) || is_plain_record(tree)) return check(PyDict_Contains(tree, key)) != 0;
  Ref keys = call_method(tree, QM_NAME("keys"));
  return contains(keys.get(), key);
}

// A union followed by ORDER BY or LIMIT parses as a statement without a select
// list whose "from" is the union itself; its members are what carries the lineage.
Ref ordered_union(PyObject* tree) {
  if (!PyDict_Check(tree) || check(PyDict_Contains(tree, QM_NAME("select")))) return Ref();
  PyObject* from = nullptr;
  check(PyDict_GetItemRef(tree, QM_NAME("from"), &from));
  Ref source = Ref::steal(from);
  if (!source || !PyDict_Check(source.get())) return Ref();
  if (check(PyDict_Contains(source.get(), QM_NAME("union_all"))) ||
      check(PyDict_Contains(source.get(), QM_NAME("union")))) {
    return source;
  }
  return Ref();
}

}  // namespace

// Analyze(tree)
Ref analyze_init(PyObject* const* args) {
  PyObject* self = args[0];
  PyObject* tree = args[1];
  Ref sqls = checked(PyList_New(0));
  Ref record = new_record(QM_KWNAMES("sqls"), sqls.get());
  setattr(self, QM_NAME("_var"), record.get());
  setattr(self, QM_NAME("tree"), tree);
  return none();
}

// analyze_sql(level=0): normalise the tree, walk each statement, return the
// distinct lineage entries gathered so far.
Ref analyze_analyze_sql(PyObject* const* args) {
  PyObject* self = args[0];
  PyObject* level = args[1];
  ReuseScope reuse;
  call_analyzer(self, QM_NAME("_check_union"), analyze_check_union, level);

  Ref tree = getattr(self, QM_NAME("tree"));
  const bool is_union =
      has_key(tree.get(), QM_NAME("union_all")) || has_key(tree.get(), QM_NAME("union"));
  Ref union_tree = is_union ? getattr(self, QM_NAME("tree")) : ordered_union(tree.get());
  if (union_tree) {
    Ref items = record_method(union_tree.get(), QM_NAME("items"));
    Ref iterator = checked(PyObject_GetIter(items.get()));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
      Ref pair = checked(PySequence_Tuple(item.get()));
      if (PyTuple_GET_SIZE(pair.get()) != 2) {
        raise(PyExc_ValueError, "items() must yield (key, value) pairs");
      }
      PyObject* members = PyTuple_GET_ITEM(pair.get(), 1);
      // Only a list of member statements is walked; clauses that apply to the
      // whole union (ordering, limits) are not statements.
      if (!PyList_Check(members)) continue;
      Ref snapshot = checked(PySequence_List(members));
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.get()); ++i) {
        PyObject* statement = PyList_GET_ITEM(snapshot.get(), i);
        if (!PyDict_Check(statement)) continue;
        set_field(state_record(self).get(), QM_NAME("result"), Py_None);
        reset_result_map(self);
        call_analyzer(self, QM_NAME("_analyze_sql_start"), analyze_sql_start, statement, level);
      }
    }
    if (PyErr_Occurred()) throw PyErrOccurred{};
  } else {
    reset_result_map(self);
    Ref whole = getattr(self, QM_NAME("tree"));
    call_analyzer(self, QM_NAME("_analyze_sql_start"), analyze_sql_start, whole.get(), level);
  }

  Ref sqls = field(state_record(self).get(), QM_NAME("sqls"));
  Ref distinct = checked(PySet_New(sqls.get()));
  return checked(PySequence_List(distinct.get()));
}

// _analyze_sql_start(tree, level)
Ref analyze_sql_start(PyObject* const* args) {
  PyObject* self = args[0];
  PyObject* tree = args[1];
  PyObject* level = args[2];
  call_analyzer(self, QM_NAME("_get_all_select_value"), analyze_get_all_select_value, tree, level);
  Ref select_values = field(state_record(self).get(), QM_NAME("all_select_value"));
  if (own_methods_in_force(self, analyze_class_record())) {
    // The master parameter's default, passed as the call below leaves it.
    call_analyzer(self, QM_NAME("_analyze_select_value"), analyze_select_value, tree,
                  select_values.get(), level, Py_None);
  } else {
    call_method(self, QM_NAME("_analyze_select_value"), tree, select_values.get(), level);
  }
  call_analyzer(self, QM_NAME("_analyze_from_value"), analyze_from_value, tree, level);
  return none();
}

// _check_union(level): a deep copy through JSON text in which every space inside
// keys and values becomes "_", built from records so its mappings answer find.
Ref analyze_check_union(PyObject* const* args) {
  PyObject* self = args[0];
  Ref json = module_global(QM_NAME("json"));
  Ref tree = getattr(self, QM_NAME("tree"));

  // With the standard json module in place, the copy is made directly; the text
  // round trip stays for trees only json can judge and for a json rebound by the user.
  if (is_standard_json(json.get())) {
    Ref record_class = module_global(QM_NAME("VexloVar"));
    // A sub-analyser's tree is part of the top-level call's copy: copying it again
    // would give an equal tree, and keeping it lets every level find the same
    // sub-query objects, so that each is analysed once per level.
    if (in_nested_analysis() && is_normalised(tree.get(), record_class.get())) return none();
    if (Ref copy = normalised_copy(tree.get(), record_class.get())) {
      setattr(self, QM_NAME("tree"), copy.get());
      return none();
    }
  }

  Ref separators = checked(Py_BuildValue("(ss)", ",", ":"));
  Ref dump_kwnames = checked(PyTuple_Pack(2, QM_NAME("ensure_ascii"), QM_NAME("separators")));
  Ref dumps = getattr(json.get(), QM_NAME("dumps"));
  Ref text = call_kw(dumps.get(), dump_kwnames.get(), tree.get(), Py_False, separators.get());
  Ref normalised = call_method(text.get(), QM_NAME("replace"), QM_NAME(" "), QM_NAME("_"));

  Ref record_class = module_global(QM_NAME("VexloVar"));
  Ref load_kwnames = checked(PyTuple_Pack(1, QM_NAME("object_hook")));
  Ref loads = getattr(json.get(), QM_NAME("loads"));
  Ref copy = call_kw(loads.get(), load_kwnames.get(), normalised.get(), record_class.get());
  setattr(self, QM_NAME("tree"), copy.get());
  return none();
}

// _get_all_select_value(tree, level): the statement's three path queries.
Ref analyze_get_all_select_value(PyObject* const* args) {
  PyObject* self = args[0];
  PyObject* tree = args[1];
  Ref select_values = find_all(tree, QM_NAME("$.select..value"));
  Ref sources = find_all(tree, QM_NAME("$..from"));
  Ref aliases = find_all(tree, QM_NAME("$..from..name"));
  add_fields(state_record(self).get(), QM_KWNAMES("all_select_value", "all_from", "all_from_name"),
             select_values.get(), sources.get(), aliases.get());
  return none();
}

}  // namespace qm

// FROM-source resolution for unqualified columns: through the statement's single
// FROM source.
#include "analyzer.hpp"
#include "analyzer_state.hpp"
#include "source_naming.hpp"

namespace qm {

// _none_master_from_value(tree, column, level)
Ref analyze_none_master_from_value(PyObject* const* args) {
  PyObject* self = args[0];
  PyObject* tree = args[1];
  PyObject* column = args[2];
  PyObject* level = args[3];

  // The FROM member that belongs to the statement holding the selected value.
  Ref full_path = entry_field(self, column, QM_NAME("path"));
  Ref kept = pieces_before_last_one(full_path.get());
  Ref joined = checked(PyUnicode_Join(QM_NAME("select"), kept.get()));
  Ref other_path = checked(PyUnicode_Concat(absolute_path(joined.get()).get(), QM_NAME("from")));
  Ref source = find_first(tree, other_path.get());

  if (PyUnicode_Check(source.get())) {
    record_table(self, column, source.get());
  } else if (PyDict_Check(source.get())) {
    Ref alias = mapping_get(source.get(), QM_NAME("name"));
    if (truthy(alias.get())) {
      set_entry_field(self, column, QM_NAME("master"), alias.get());
      call_analyzer(self, QM_NAME("_analyze_from_value_master"), analyze_from_value_master, tree,
                    column, level);
    } else {
      // An unaliased sub-query is read directly, one level deeper.
      Ref inner = mapping_get(source.get(), QM_NAME("value"));
      if (!PyDict_Check(inner.get())) {
        Ref shown = sources_for_message(source.get());
        raise(PyExc_RuntimeError, "cannot resolve column %R: its FROM source has no alias: %U",
              column, shown.get());
      }
      carry_over_subquery(self, tree, column, level, inner.get(), nullptr);
    }
  } else if (PyList_Check(source.get())) {
    print_values(source.get());
    Ref shown = sources_for_message(source.get());
    raise(PyExc_RuntimeError,
          "column %R is not qualified and is ambiguous between the FROM sources %R", column,
          shown.get());
  }
  return none();
}

}  // namespace qm

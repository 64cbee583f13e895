#include "analyzer_state.hpp"

namespace qm {

void append_lineage(PyObject* self, PyObject* source_table, PyObject* source_column,
                    PyObject* output_name) {
  Ref entry = checked(PyTuple_Pack(3, source_table, source_column, output_name));
  Ref sqls = field(state_record(self).get(), QM_NAME("sqls"));
  if (PyList_CheckExact(sqls.get())) {
    check(PyList_Append(sqls.get(), entry.get()));
  } else {
    call_method(sqls.get(), QM_NAME("append"), entry.get());
  }
}

namespace {

char ascii_lower(Py_UCS1 c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c); }

// Exact str objects, both ASCII: compared here without making folded copies.
bool ascii_equal_ignoring_case(PyObject* a, PyObject* b) {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
  if (length != PyUnicode_GET_LENGTH(b)) return false;
  const Py_UCS1* x = PyUnicode_1BYTE_DATA(a);
  const Py_UCS1* y = PyUnicode_1BYTE_DATA(b);
  for (Py_ssize_t i = 0; i < length; ++i) {
    if (ascii_lower(x[i]) != ascii_lower(y[i])) return false;
  }
  return true;
}

}  // namespace

void record_table(PyObject* self, PyObject* column, PyObject* table) {
  set_entry_field(self, column, QM_NAME("table"), table);
  Ref value = entry_field(self, column, QM_NAME("value"));
  set_entry_field(self, column, QM_NAME("table_column"), value.get());
  Ref name = entry_field(self, column, QM_NAME("name"));
  append_lineage(self, table, value.get(), name.get());
}

bool names_match(PyObject* alias, PyObject* qualifier) {
  if (alias == qualifier) return true;
  if (PyUnicode_CheckExact(alias) && PyUnicode_CheckExact(qualifier) &&
      PyUnicode_IS_ASCII(alias) && PyUnicode_IS_ASCII(qualifier)) {
    return ascii_equal_ignoring_case(alias, qualifier);
  }
  if (PyUnicode_Check(alias) && PyUnicode_Check(qualifier)) {
    if (check(PyObject_RichCompareBool(alias, qualifier, Py_EQ))) return true;
    Ref folded_alias = call_method(alias, QM_NAME("casefold"));
    Ref folded_qualifier = call_method(qualifier, QM_NAME("casefold"));
    return equal(folded_alias.get(), folded_qualifier.get());
  }
  return equal(alias, qualifier);
}

void print_values(PyObject* first, PyObject* second) {
  PyObject* print = process_state().builtin_print;
  Ref found;
  if (print == nullptr) {
    found = module_global(QM_NAME("print"));
    print = found.get();
  }
  if (second == nullptr) {
    call(print, first);
  } else {
    call(print, first, second);
  }
}

}  // namespace qm

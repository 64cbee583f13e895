// Finding the neighbour of a located item by rewriting its path: the alias beside
// a selected value, the source beside a FROM alias.
#include "analyzer.hpp"
#include "analyzer_state.hpp"

namespace qm {

Ref pieces_before_last_one(PyObject* full_path) {
  PyObject* marker = QM_NAME("one");
  Ref split = split_text(full_path, marker);
  Py_ssize_t count = 0;
  if (PyUnicode_CheckExact(full_path)) {
    count = PyUnicode_Count(full_path, marker, 0, PY_SSIZE_T_MAX);
    if (count < 0) throw PyErrOccurred{};
  } else {
    Ref count_object = call_method(full_path, QM_NAME("count"), marker);
    count = PyLong_AsSsize_t(count_object.get());
    if (count == -1 && PyErr_Occurred()) throw PyErrOccurred{};
  }
  return checked(PySequence_GetSlice(split.get(), 0, count));
}

// _one_search_other(tree, full_path, one, other): cut len(one) characters off
// "$." + full_path, append str(other), and look the result up in `tree`.
Ref analyze_one_search_other(PyObject* const* args) {
  PyObject* tree = args[0];
  PyObject* full_path = args[1];
  PyObject* one = args[2];
  PyObject* other = args[3];

  Ref path_text = checked(PyObject_Str(full_path));
  Ref one_path = absolute_path(path_text.get());
  const Py_ssize_t one_length = PyObject_Length(one);
  if (one_length < 0) throw PyErrOccurred{};
  const Py_ssize_t total = PyUnicode_GET_LENGTH(one_path.get());
  // The slice one_path[:total - len(one)], with Python's rule for negative ends.
  Py_ssize_t end = total - one_length;
  if (end < 0) end += total;
  if (end < 0) end = 0;
  if (end > total) end = total;
  Ref prefix = checked(PyUnicode_Substring(one_path.get(), 0, end));
  Ref other_text = checked(PyObject_Str(other));
  Ref other_path = checked(PyUnicode_Concat(prefix.get(), other_text.get()));
  return find_first(tree, other_path.get());
}

// _one_replace_other(self, full_path, one, other): every "one" in full_path but
// the last becomes `one`; the last and what follows it become `other`.
Ref analyze_one_replace_other(PyObject* const* args) {
  PyObject* self = args[0];
  PyObject* full_path = args[1];
  PyObject* one = args[2];
  PyObject* other = args[3];

  Ref kept = pieces_before_last_one(full_path);
  Ref joined = call_method(one, QM_NAME("join"), kept.get());
  Ref joined_text = checked(PyObject_Str(joined.get()));
  Ref prefixed = absolute_path(joined_text.get());
  Ref other_path = checked(PyNumber_Add(prefixed.get(), other));
  Ref tree = getattr(self, QM_NAME("tree"));
  return find_first(tree.get(), other_path.get());
}

}  // namespace qm

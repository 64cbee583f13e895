// The tree query `find` that parse-tree mappings answer (supplied by vexlo_var).
#pragma once
#include "common/calls.hpp"
#include "common/names.hpp"
#include "record.hpp"

namespace qm {

// tree.find(path): every match of `path`, each with `value` and `full_path`.
inline Ref find_all(PyObject* tree, PyObject* path) {
  return record_method(tree, QM_NAME("find"), path);
}

// tree.find(path, 1): the node at `path`, or None.
inline Ref find_first(PyObject* tree, PyObject* path) {
  PyObject* one = PyLong_FromLong(1);  // a small int: immortal, never fails
  return record_method(tree, QM_NAME("find"), path, one);
}

}  // namespace qm

// The tree query find(path, first) over nested mappings, lists and tuples.
#pragma once
#include "module_state.hpp"

namespace qm::vexlo {

// All matches of `path` under `root` as a new list of PathMatch objects; with
// `first_only`, the first matched node itself, or None.
Ref find(const ModuleState& state, PyObject* root, PyObject* path, bool first_only);

// The full_path text of a match from its chain of (parent, key or position) links:
// "select[0].value", "from.'a.b'"; "$" for the root itself, so that "$." + text
// always reads back to the same node.
Ref path_text(PyObject* chain);

}  // namespace qm::vexlo

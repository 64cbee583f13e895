// The tree query find(path, first) over nested mappings, lists and tuples.
#pragma once
#include "module_state.hpp"

namespace qm::vexlo {

// All matches of `path` under `root` as a new list of PathMatch objects; with
// `first_only`, the first matched node itself, or None.
Ref find(const ModuleState& state, PyObject* root, PyObject* path, bool first_only);

}  // namespace qm::vexlo

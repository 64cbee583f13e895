// The analyser's normalised copy of a parse tree, made directly: what a JSON round
// trip with every space turned into "_" would give, without the text in between.
#pragma once
#include "common/ref.hpp"

namespace qm {

// A deep copy of `tree` in which every space in every string (keys included) is
// "_", each mapping built by calling `make_mapping` with a plain dict, as JSON's
// object_hook would be. Returns an empty Ref, with no error set, when the tree
// holds anything whose JSON form only the json module can tell (other types,
// subclasses, keys that are not str, a reference cycle).
Ref normalised_copy(PyObject* tree, PyObject* make_mapping);

// The json module the module imported when it started: while the module global
// `json` is still that module, the copy is made directly.
void remember_standard_json(PyObject* module);
bool is_standard_json(PyObject* module);

// True when `tree` is already what normalised_copy would make of it, with
// `mapping_type` as the type of every mapping: copying it again would give an
// equal tree.
bool is_normalised(PyObject* tree, PyObject* mapping_type);

}  // namespace qm

// PathMatch: one result of find(path): the node and its path from the root.
#pragma once
#include "common/error.hpp"

namespace qm::vexlo {

Ref make_match_type(PyObject* module);

// A new match holding `value` and `full_path` (a str).
Ref new_match(PyTypeObject* match_type, PyObject* value, PyObject* full_path);

}  // namespace qm::vexlo

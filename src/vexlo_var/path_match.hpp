// PathMatch: one result of find(path): the node and its path from the root.
#pragma once
#include "common/error.hpp"

namespace qm::vexlo {

Ref make_match_type(PyObject* module);

// A new match holding `value` and the chain its full_path is written from when read.
Ref new_match(PyTypeObject* match_type, PyObject* value, PyObject* chain);

}  // namespace qm::vexlo

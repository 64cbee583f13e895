// `a, b, c = entry` with the messages this module reports for a wrong item count.
#pragma once
#include "error.hpp"

namespace qm {

// Fills items[0..2] from a list or tuple by index, from anything else through its
// iterator. ValueError "too many values to unpack (expected 3)" or "need more than
// N values to unpack" when the count is not three.
void unpack_three(PyObject* entry, Ref items[3]);

}  // namespace qm

// FROM sources named the way a query writes them, for error messages: a parse
// tree of a join or a sub-query printed whole is unreadable.
#pragma once
#include "common/ref.hpp"

namespace qm {

// A key that introduces a joined source: "join", "inner_join", "left_join", ...
bool is_join_key(PyObject* key);

// One FROM source as text: "t", "db.u AS x", "x (sub-query)", "(sub-query)";
// a joined source is named by what it joins.
Ref source_name(PyObject* source);

// What a message shows for the FROM member `sources`: a list of source names for
// a list of sources, the name of a single table or mapping, and anything else as
// it is (None when nothing was found).
Ref sources_for_message(PyObject* sources);

}  // namespace qm

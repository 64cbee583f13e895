// The front-end class VexloParseMain: text cleaning and the parse driver.
#pragma once
#include "common/native_function.hpp"

namespace qm {

// The methods of VexloParseMain, in class order.
MethodTable front_end_methods();

// Removes block comments (hints included), line comments and blank lines.
// `sql` must be a str; anything else raises TypeError.
Ref clean_sql(PyObject* sql);

// Method bodies (args as described in native_function.hpp).
Ref front_end_init(PyObject* const* args);
Ref front_end_re_hint(PyObject* const* args);
Ref front_end_parse_sql(PyObject* const* args);

}  // namespace qm

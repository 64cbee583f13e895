#include "front_end.hpp"

namespace qm {

Ref clean_sql(PyObject*) { raise(PyExc_NotImplementedError, "_re_hint is not built yet"); }

}  // namespace qm

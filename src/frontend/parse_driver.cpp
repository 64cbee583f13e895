#include "front_end.hpp"

namespace qm {

Ref front_end_parse_sql(PyObject* const*) {
  raise(PyExc_NotImplementedError, "_parse_sql is not built yet");
}

}  // namespace qm

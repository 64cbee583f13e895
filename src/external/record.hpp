// How the module reaches the outside record class VexloVar: through the module
// global of that name, looked up at each use, and through plain attribute access.
#pragma once
#include "common/calls.hpp"
#include "common/names.hpp"
#include "common/process_state.hpp"

namespace qm {

// VexloVar(**{names[i]: values[i]}): `kwnames` is a tuple of the keyword names.
template <class... Values>
Ref new_record(PyObject* kwnames, Values... values) {
  Ref record_class = module_global(QM_NAME("VexloVar"));
  return call_kw(record_class.get(), kwnames, values...);
}

// A record field read as an attribute (None for a field never set).
inline Ref field(PyObject* record, PyObject* name) { return getattr(record, name); }
inline void set_field(PyObject* record, PyObject* name, PyObject* value) {
  setattr(record, name, value);
}

}  // namespace qm

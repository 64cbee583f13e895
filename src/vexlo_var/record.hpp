// The record type VexloVar: a dict whose fields are also attributes.
#pragma once
#include "module_state.hpp"

namespace qm::vexlo {

// Creates the type for `module` (called once from exec).
Ref make_record_type(PyObject* module);

// A new empty record of `type` (VexloVar or a subclass).
Ref new_record(PyTypeObject* type);

// What a record stores for `value`: a dict that is not yet a record becomes a new
// record with the same items (nested dicts converted too); anything else is kept.
Ref stored_value(const ModuleState& state, PyObject* value);

// record[key] = stored_value(value).
void store_field(const ModuleState& state, PyObject* record, PyObject* key, PyObject* value);

// Merges `source` (a mapping, or an iterable of key/value pairs, as dict() takes it)
// into `record`, then converts every dict value that is not yet a record.
void fill_record(const ModuleState& state, PyObject* record, PyObject* source);

}  // namespace qm::vexlo

// Converting plain dicts into records as they are stored, so that a field read
// twice gives the same record both times.
#include "record.hpp"

#include "common/names.hpp"

namespace qm::vexlo {

namespace {

bool needs_conversion(const ModuleState& state, PyObject* value) {
  return PyDict_Check(value) && !PyObject_TypeCheck(value, state.record_type);
}

// Replaces, in place, every value of `record` that still needs conversion.
void convert_values(const ModuleState& state, PyObject* record) {
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  // A first pass without touching reference counts: trees built bottom-up (a json
  // object_hook) never need the second one.
  bool any = false;
  while (PyDict_Next(record, &pos, &key, &value)) {
    if (needs_conversion(state, value)) {
      any = true;
      break;
    }
  }
  if (!any) return;
  pos = 0;
  while (PyDict_Next(record, &pos, &key, &value)) {
    if (!needs_conversion(state, value)) continue;
    // Converting may run Python code (a dict subclass's keys()), which could drop
    // the entry: hold both while it runs. Replacing the value of a present key
    // does not resize the dict, so the walk may go on.
    Ref held_key = Ref::borrow(key);
    Ref converted = stored_value(state, value);
    check(PyDict_SetItem(record, held_key.get(), converted.get()));
  }
}

}  // namespace

Ref new_record(PyTypeObject* type) {
  // dict's own tp_new sets up the empty table of a subclass instance.
  Ref no_args = checked(PyTuple_New(0));
  return checked(PyDict_Type.tp_new(type, no_args.get(), nullptr));
}

Ref stored_value(const ModuleState& state, PyObject* value) {
  if (!needs_conversion(state, value)) return Ref::borrow(value);
  RecursionGuard guard(" while converting a dict into a VexloVar");
  Ref record = new_record(state.record_type);
  fill_record(state, record.get(), value);
  return record;
}

void store_field(const ModuleState& state, PyObject* record, PyObject* key, PyObject* value) {
  Ref stored = stored_value(state, value);
  check(PyDict_SetItem(record, key, stored.get()));
}

void fill_record(const ModuleState& state, PyObject* record, PyObject* source) {
  // The same choice dict() makes: anything with keys() is a mapping.
  if (PyDict_CheckExact(source) || check(PyObject_HasAttrWithError(source, QM_NAME("keys")))) {
    check(PyDict_Merge(record, source, 1));
  } else {
    check(PyDict_MergeFromSeq2(record, source, 1));
  }
  convert_values(state, record);
}

}  // namespace qm::vexlo

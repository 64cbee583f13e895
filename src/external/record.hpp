// How the module reaches the outside record class VexloVar: through the module
// global of that name, looked up at each use, and through plain attribute access.
#pragma once
#include <array>
#include <initializer_list>

#include "common/calls.hpp"
#include "common/names.hpp"
#include "common/process_state.hpp"

namespace qm {

// A tuple of interned names, made once per process and kept: the keyword names of
// a call, QM_KWNAMES("database", "table").
PyObject* make_name_tuple(std::initializer_list<const char*> names);
#define QM_KWNAMES(...)                                                           \
  ([]() -> PyObject* {                                                            \
    static PyObject* const names = ::qm::make_name_tuple({__VA_ARGS__});          \
    return names;                                                                 \
  }())

// VexloVar(**{names[i]: values[i]}): `kwnames` is a tuple of the keyword names.
template <class... Values>
Ref new_record(PyObject* kwnames, Values... values) {
  Ref record_class = module_global(QM_NAME("VexloVar"));
  return call_kw(record_class.get(), kwnames, values...);
}

// The record class as vexlo_var made it, remembered when the module starts. Its
// instances keep no attributes of their own and the class cannot be changed, so
// on them an attribute that the class does not define is the mapping's item, and
// a method is the class's own, which can be called without a bound method.
void remember_record_class(PyObject* cls);

// Is `cls` that record class itself, is `obj` an instance of it?
bool is_plain_record_class(PyObject* cls);
bool is_plain_record(PyObject* obj);

// A new mapping to store in `record`: an empty record of the same class when
// `record` is a plain record (storing a dict would convert it into one), else a dict.
Ref new_mapping_for(PyObject* record);

// The method `name` of the class of `record` when `record` is one of those plain
// records (borrowed from the unchangeable class), else nullptr.
PyObject* plain_record_method(PyObject* record, PyObject* name);

// record.<name>: a record field read as an attribute (None for a field never set).
Ref field(PyObject* record, PyObject* name);
// record.<name> = value
void set_field(PyObject* record, PyObject* name, PyObject* value);

// record.<name>(*args)
template <class... Args>
Ref record_method(PyObject* record, PyObject* name, Args... args) {
  PyObject* method = plain_record_method(record, name);
  if (method == nullptr) return call_method(record, name, args...);
  std::array<PyObject*, sizeof...(Args) + 2> stack{nullptr, record, args...};
  return checked(PyObject_Vectorcall(method, stack.data() + 1,
                                     (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     nullptr));
}

// mapping.get(key)
inline Ref mapping_get(PyObject* mapping, PyObject* key) {
  return record_method(mapping, QM_NAME("get"), key);
}

// record.add(**{names[i]: values[i]}): `kwnames` is a tuple of the field names.
template <class... Values>
void add_fields(PyObject* record, PyObject* kwnames, Values... values) {
  PyObject* add = plain_record_method(record, QM_NAME("add"));
  if (add == nullptr) {
    Ref bound = getattr(record, QM_NAME("add"));
    call_kw(bound.get(), kwnames, values...);
    return;
  }
  std::array<PyObject*, sizeof...(Values) + 2> stack{nullptr, record, values...};
  checked(PyObject_Vectorcall(add, stack.data() + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// record.add(**{key: value}), for a key of any type.
void add_field(PyObject* record, PyObject* key, PyObject* value);

}  // namespace qm

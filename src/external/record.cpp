#include "record.hpp"

#include <cstdint>

namespace qm {
namespace {

// Made once, never freed: C++ static destructors would run after the interpreter.
PyTypeObject*& plain_record_class() {
  static PyTypeObject** const slot = new PyTypeObject*(nullptr);
  return *slot;
}

// What the plain record class holds under a name, remembered per name: the class
// cannot change, so neither can the answer. A handful of constant names is asked
// for over and over; each slot keeps its name alive so that its address is not
// reused by another string while it is remembered.
struct ClassAttribute {
  PyObject* name = nullptr;   // strong reference
  PyObject* found = nullptr;  // borrowed from the class's own dict, or nullptr
};
constexpr std::size_t kRemembered = 64;

ClassAttribute* remembered_attributes() {
  static ClassAttribute* const slots = new ClassAttribute[kRemembered]();
  return slots;
}

void forget_attributes() {
  ClassAttribute* slots = remembered_attributes();
  for (std::size_t i = 0; i < kRemembered; ++i) {
    Py_CLEAR(slots[i].name);
    slots[i].found = nullptr;
  }
}

// type.<name> as looked up along the plain class's MRO (nullptr when absent).
PyObject* plain_class_attribute(PyTypeObject* type, PyObject* name) {
  ClassAttribute& slot =
      remembered_attributes()[(reinterpret_cast<std::uintptr_t>(name) >> 4) % kRemembered];
  if (slot.name == name) return slot.found;
  PyObject* found = _PyType_Lookup(type, name);
  PyObject* old = slot.name;
  slot.name = Py_NewRef(name);
  slot.found = found;
  Py_XDECREF(old);
  return found;
}

}  // namespace

PyObject* make_name_tuple(std::initializer_list<const char*> names) {
  Ref tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  Py_ssize_t index = 0;
  for (const char* name : names) {
    PyTuple_SET_ITEM(tuple.get(), index++, Py_NewRef(intern_or_throw(name)));
  }
  return tuple.release();  // kept for the process, like the interned names
}

bool is_plain_record(PyObject* obj) {
  PyTypeObject* plain = plain_record_class();
  return plain != nullptr && Py_TYPE(obj) == plain;
}

Ref new_mapping_for(PyObject* record) {
  if (is_plain_record(record)) return call(reinterpret_cast<PyObject*>(Py_TYPE(record)));
  return checked(PyDict_New());
}

void remember_record_class(PyObject* cls) {
  PyTypeObject*& slot = plain_record_class();
  PyTypeObject* old = slot;
  slot = nullptr;
  // Only a class that cannot change and gives its instances no attribute
  // dictionary of their own keeps the promise above.
  if (PyType_Check(cls)) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE) && PyType_IsSubtype(type, &PyDict_Type) &&
        type->tp_dictoffset == 0) {
      slot = reinterpret_cast<PyTypeObject*>(Py_NewRef(cls));
    }
  }
  forget_attributes();
  Py_XDECREF(old);
}

bool is_plain_record_class(PyObject* cls) {
  return cls != nullptr && cls == reinterpret_cast<PyObject*>(plain_record_class());
}

PyObject* plain_record_method(PyObject* record, PyObject* name) {
  if (!is_plain_record(record)) return nullptr;
  PyObject* method = plain_class_attribute(Py_TYPE(record), name);
  return method != nullptr && Py_IS_TYPE(method, &PyMethodDescr_Type) ? method : nullptr;
}

Ref field(PyObject* record, PyObject* name) {
  if (is_plain_record(record) && plain_class_attribute(Py_TYPE(record), name) == nullptr) {
    PyObject* value = nullptr;
    if (check(PyDict_GetItemRef(record, name, &value))) return Ref::steal(value);
  }
  // A field never set, or a name the class defines: the class's own rules.
  return getattr(record, name);
}

void set_field(PyObject* record, PyObject* name, PyObject* value) {
  // Any other dict is converted into a record on the way in: the class does that.
  if (is_plain_record(record) && PyUnicode_Check(name) &&
      (!PyDict_Check(value) || is_plain_record(value)) &&
      plain_class_attribute(Py_TYPE(record), name) == nullptr) {
    check(PyDict_SetItem(record, name, value));
    return;
  }
  setattr(record, name, value);
}

void add_field(PyObject* record, PyObject* key, PyObject* value) {
  if (PyUnicode_CheckExact(key)) {
    Ref kwnames = checked(PyTuple_Pack(1, key));
    add_fields(record, kwnames.get(), value);
    return;
  }
  // Through a dict, so that a key that is no str is refused as a call refuses it.
  Ref bound = getattr(record, QM_NAME("add"));
  Ref kwargs = checked(PyDict_New());
  check(PyDict_SetItem(kwargs.get(), key, value));
  Ref no_args = checked(PyTuple_New(0));
  checked(PyObject_Call(bound.get(), no_args.get(), kwargs.get()));
}

}  // namespace qm

#include "own_methods.hpp"

#include "common/names.hpp"

namespace qm {

// Made once, never freed: C++ static destructors would run after the interpreter.
OwnClass& analyze_class_record() {
  static OwnClass* const record = new OwnClass();
  return *record;
}

OwnClass& front_end_class_record() {
  static OwnClass* const record = new OwnClass();
  return *record;
}

void remember_own_class(OwnClass& record, PyObject* cls, const char* const* data_names,
                        Py_ssize_t data_count) {
  if (!PyType_Check(cls)) return;
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  Py_XDECREF(record.type);
  record.type = reinterpret_cast<PyTypeObject*>(Py_NewRef(cls));
  record.data_count = 0;
  for (Py_ssize_t i = 0; i < data_count && i < OwnClass::kMaxData; ++i) {
    record.data_names[record.data_count++] = intern_or_throw(data_names[i]);
  }
  // Without a tag every call takes the lookup.
  record.version_tag = PyUnstable_Type_AssignVersionTag(type) ? type->tp_version_tag : 0;
}

namespace {

bool is_data_name(PyObject* key, const OwnClass& record) {
  // Attribute names are interned when set: the same object is the usual case.
  for (Py_ssize_t i = 0; i < record.data_count; ++i) {
    if (key == record.data_names[i]) return true;
  }
  if (!PyUnicode_Check(key)) return false;
  for (Py_ssize_t i = 0; i < record.data_count; ++i) {
    if (PyUnicode_Compare(key, record.data_names[i]) == 0) return true;
  }
  return false;
}

bool class_as_made(PyTypeObject* type, const OwnClass& record) {
  return type == record.type && record.version_tag != 0 && type->tp_version_tag == record.version_tag;
}

}  // namespace

Ref construct_own(const OwnClass& record, PyObject* cls, MethodBody init, PyObject* arg) {
  if (!PyType_Check(cls) || !class_as_made(reinterpret_cast<PyTypeObject*>(cls), record) ||
      Py_TYPE(cls) != &PyType_Type) {
    return call(cls, arg);
  }
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  Ref no_args = checked(PyTuple_New(0));
  Ref self = checked(type->tp_new(type, no_args.get(), nullptr));
  RecursionGuard guard;
  PyObject* const all[] = {self.get(), arg};
  init(all);
  return self;
}

bool own_methods_in_force(PyObject* self, const OwnClass& record) {
  if (!class_as_made(Py_TYPE(self), record)) return false;
  Ref dict = checked(PyObject_GenericGetDict(self, nullptr));
  if (PyDict_GET_SIZE(dict.get()) > record.data_count) return false;
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict.get(), &position, &key, &value)) {
    if (!is_data_name(key, record)) return false;
  }
  return true;
}

}  // namespace qm

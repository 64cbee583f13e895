#include "tree_normaliser.hpp"

#include <vector>

#include "common/calls.hpp"
#include "common/names.hpp"
#include "external/record.hpp"

namespace qm {
namespace {

class Normaliser {
 public:
  explicit Normaliser(PyObject* make_mapping)
      : make_mapping_(make_mapping), fills_records_(is_plain_record_class(make_mapping)) {}

  // An empty Ref means "not a plain JSON tree": the caller falls back.
  Ref copy(PyObject* node) {
    if (PyUnicode_CheckExact(node)) return underscored(node);
    if (node == Py_None || node == Py_True || node == Py_False || PyLong_CheckExact(node) ||
        PyFloat_CheckExact(node)) {
      return Ref::borrow(node);
    }
    const bool mapping = PyDict_CheckExact(node) || Py_TYPE(node) == mapping_type();
    const bool sequence = PyList_CheckExact(node) || PyTuple_CheckExact(node);
    if (!mapping && !sequence) return Ref();
    for (PyObject* open : path_) {
      if (open == node) return Ref();  // a cycle: json reports it
    }
    RecursionGuard guard(" while normalising a parse tree");
    path_.push_back(node);
    Ref result = mapping ? copy_mapping(node) : copy_sequence(node);
    path_.pop_back();
    return result;
  }

 private:
  static Ref underscored(PyObject* text) {
    if (PyUnicode_FindChar(text, ' ', 0, PyUnicode_GET_LENGTH(text), 1) == -1) {
      return Ref::borrow(text);
    }
    return checked(PyUnicode_Replace(text, QM_NAME(" "), QM_NAME("_"), -1));
  }

  PyTypeObject* mapping_type() const {
    return PyType_Check(make_mapping_) ? reinterpret_cast<PyTypeObject*>(make_mapping_) : nullptr;
  }

  Ref copy_mapping(PyObject* node) {
    // The record class itself is filled in place: the copied values are records
    // already, so building it from a dict would store the same items.
    Ref plain = fills_records_ ? call(make_mapping_) : checked(PyDict_New());
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    // The values are copied before the walk moves on; nothing here runs code that
    // could change `node` (exact str keys, plain copies only).
    while (PyDict_Next(node, &position, &key, &value)) {
      if (!PyUnicode_CheckExact(key)) return Ref();
      Ref held_value = Ref::borrow(value);
      Ref new_key = underscored(key);
      Ref new_value = copy(held_value.get());
      if (!new_value) return Ref();
      check(PyDict_SetItem(plain.get(), new_key.get(), new_value.get()));
    }
    return fills_records_ ? plain : call(make_mapping_, plain.get());
  }

  Ref copy_sequence(PyObject* node) {
    Ref items = checked(PySequence_List(node));
    const Py_ssize_t size = PyList_GET_SIZE(items.get());
    Ref result = checked(PyList_New(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      Ref element = copy(PyList_GET_ITEM(items.get(), i));
      if (!element) return Ref();
      PyList_SET_ITEM(result.get(), i, element.release());
    }
    return result;
  }

  PyObject* make_mapping_;
  const bool fills_records_;
  std::vector<PyObject*> path_;  // containers being copied, for cycle detection
};

bool has_space(PyObject* text) {
  return PyUnicode_FindChar(text, ' ', 0, PyUnicode_GET_LENGTH(text), 1) != -1;
}

class NormalFormCheck {
 public:
  explicit NormalFormCheck(PyObject* mapping_type) : mapping_type_(mapping_type) {}

  bool holds(PyObject* node) {
    if (PyUnicode_CheckExact(node)) return !has_space(node);
    if (node == Py_None || node == Py_True || node == Py_False || PyLong_CheckExact(node) ||
        PyFloat_CheckExact(node)) {
      return true;
    }
    const bool mapping = reinterpret_cast<PyObject*>(Py_TYPE(node)) == mapping_type_;
    if (!mapping && !PyList_CheckExact(node)) return false;
    for (PyObject* open : path_) {
      if (open == node) return false;
    }
    RecursionGuard guard(" while checking a parse tree");
    path_.push_back(node);
    const bool result = mapping ? mapping_holds(node) : list_holds(node);
    path_.pop_back();
    return result;
  }

 private:
  bool mapping_holds(PyObject* node) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(node, &position, &key, &value)) {
      if (!PyUnicode_CheckExact(key) || has_space(key)) return false;
      Ref held = Ref::borrow(value);
      if (!holds(held.get())) return false;
    }
    return true;
  }

  bool list_holds(PyObject* node) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(node); ++i) {
      Ref element = Ref::borrow(PyList_GET_ITEM(node, i));
      if (!holds(element.get())) return false;
    }
    return true;
  }

  PyObject* mapping_type_;
  std::vector<PyObject*> path_;
};

}  // namespace

Ref normalised_copy(PyObject* tree, PyObject* make_mapping) {
  Normaliser normaliser(make_mapping);
  return normaliser.copy(tree);
}

namespace {

// Made once, never freed: C++ static destructors would run after the interpreter.
PyObject*& standard_json() {
  static PyObject** const slot = new PyObject*(nullptr);
  return *slot;
}

}  // namespace

void remember_standard_json(PyObject* module) {
  PyObject*& slot = standard_json();
  PyObject* old = slot;
  slot = Py_NewRef(module);
  Py_XDECREF(old);
}

bool is_standard_json(PyObject* module) { return module != nullptr && module == standard_json(); }

bool is_normalised(PyObject* tree, PyObject* mapping_type) {
  NormalFormCheck check(mapping_type);
  return check.holds(tree);
}

}  // namespace qm

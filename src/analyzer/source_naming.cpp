#include "source_naming.hpp"

#include "common/calls.hpp"
#include "common/names.hpp"

namespace qm {
namespace {

// A mapping member, or an empty Ref when the mapping lacks it.
Ref member(PyObject* mapping, PyObject* key) {
  PyObject* found = nullptr;
  check(PyDict_GetItemRef(mapping, key, &found));
  return Ref::steal(found);
}

bool is_statement(PyObject* node) {
  if (!PyDict_Check(node)) return false;
  for (PyObject* key : {QM_NAME("select"), QM_NAME("union"), QM_NAME("union_all"), QM_NAME("from")}) {
    if (check(PyDict_Contains(node, key))) return true;
  }
  return false;
}

// The joined source of a join element, or an empty Ref.
Ref joined_source(PyObject* mapping) {
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(mapping, &position, &key, &value)) {
    if (is_join_key(key)) return Ref::borrow(value);
  }
  return Ref();
}

Ref aliased(PyObject* alias, const char* kind) {
  if (alias == nullptr) return checked(PyUnicode_FromFormat("(%s)", kind));
  return checked(PyUnicode_FromFormat("%S (%s)", alias, kind));
}

}  // namespace

bool is_join_key(PyObject* key) {
  if (!PyUnicode_Check(key)) return false;
  const Py_ssize_t length = PyUnicode_GET_LENGTH(key);
  return check(static_cast<int>(PyUnicode_Tailmatch(key, QM_NAME("join"), 0, length, 1))) == 1;
}

Ref source_name(PyObject* source) {
  if (PyUnicode_Check(source)) return Ref::borrow(source);
  if (!PyDict_Check(source)) return aliased(nullptr, "expression");
  if (is_statement(source)) return aliased(nullptr, "sub-query");
  if (Ref joined = joined_source(source)) {
    // One level only: a join element holds a source, never another join element.
    if (PyDict_Check(joined.get()) && joined_source(joined.get())) {
      return aliased(nullptr, "expression");
    }
    return source_name(joined.get());
  }
  Ref value = member(source, QM_NAME("value"));
  Ref alias = member(source, QM_NAME("name"));
  PyObject* alias_text = alias && truthy(alias.get()) ? alias.get() : nullptr;
  if (value && PyUnicode_Check(value.get())) {
    if (alias_text == nullptr) return value;
    return checked(PyUnicode_FromFormat("%S AS %S", value.get(), alias_text));
  }
  if (value && is_statement(value.get())) return aliased(alias_text, "sub-query");
  return aliased(alias_text, "expression");
}

Ref sources_for_message(PyObject* sources) {
  if (PyList_Check(sources)) {
    Ref elements = checked(PySequence_List(sources));
    const Py_ssize_t size = PyList_GET_SIZE(elements.get());
    Ref names = checked(PyList_New(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      PyList_SET_ITEM(names.get(), i, source_name(PyList_GET_ITEM(elements.get(), i)).release());
    }
    return names;
  }
  if (PyUnicode_Check(sources) || PyDict_Check(sources)) return source_name(sources);
  return Ref::borrow(sources);
}

}  // namespace qm

#include "lineage/binding/python_schema.hpp"

namespace lineage::binding {

const std::vector<std::string>* PythonSchema::load(const std::string& key) {
  if (tables_dict_ == nullptr || !PyDict_Check(tables_dict_) || missing_.count(key) != 0) return nullptr;
  qm::Ref name = qm::checked(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
  PyObject* found = nullptr;
  qm::check(PyDict_GetItemRef(tables_dict_, name.get(), &found));
  qm::Ref columns = qm::Ref::steal(found);
  if (!columns) {
    missing_.insert(key);
    return nullptr;
  }
  qm::Ref items = qm::checked(PySequence_Fast(columns.get(), "a schema table's columns must be a sequence"));
  std::vector<std::string> names;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  names.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* column = PySequence_Fast_GET_ITEM(items.get(), i);
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(column) ? PyUnicode_AsUTF8AndSize(column, &size) : nullptr;
    if (text == nullptr) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "a schema column name must be a str");
      throw qm::PyErrOccurred{};
    }
    names.emplace_back(text, static_cast<std::size_t>(size));
  }
  return &(tables_[key] = std::move(names));
}

}  // namespace lineage::binding

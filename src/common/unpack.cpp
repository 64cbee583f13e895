#include "unpack.hpp"

namespace qm {
namespace {

[[noreturn]] void too_many() {
  raise(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{3});
}
[[noreturn]] void too_few(Py_ssize_t found) {
  raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
}

}  // namespace

void unpack_three(PyObject* entry, Ref items[3]) {
  if (PyList_CheckExact(entry) || PyTuple_CheckExact(entry)) {
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(entry);
    if (size > 3) too_many();
    if (size < 3) too_few(size);
    for (int i = 0; i < 3; ++i) items[i] = Ref::borrow(PySequence_Fast_GET_ITEM(entry, i));
    return;
  }
  Ref iterator = checked(PyObject_GetIter(entry));
  for (Py_ssize_t found = 0; found < 3; ++found) {
    items[found] = Ref::steal(PyIter_Next(iterator.get()));
    if (!items[found]) {
      if (PyErr_Occurred()) throw PyErrOccurred{};
      too_few(found);
    }
  }
  if (Ref extra = Ref::steal(PyIter_Next(iterator.get()))) too_many();
  if (PyErr_Occurred()) throw PyErrOccurred{};
}

}  // namespace qm

// Instances of the slotted, frozen result records, made at the cost of a tuple.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>

#include "common/calls.hpp"

namespace lineage::binding {

// A frozen dataclass's __init__ sets each field through object.__setattr__,
// which costs far more than the record itself. When every field is a plain
// object slot of the class (and nothing runs after __init__), the maker
// allocates the instance and stores the values in the slots, as __init__
// would; otherwise it calls the class.
class RecordMaker {
 public:
  static constexpr std::size_t kMaxFields = 10;

  RecordMaker(PyObject* cls, std::initializer_list<const char*> fields);

  // cls(*values); the values are borrowed.
  template <class... Args>
  qm::Ref make(Args... values) const {
    static_assert(sizeof...(Args) <= kMaxFields);
    if (!direct_ || sizeof...(Args) != count_) return qm::call(cls_, values...);
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls_);
    qm::Ref record = qm::checked(type->tp_alloc(type, 0));
    PyObject* items[] = {values...};
    for (std::size_t i = 0; i < sizeof...(Args); ++i) {
      *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(record.get()) + offsets_[i]) = Py_NewRef(items[i]);
    }
    // A frozen record of strings, numbers and tuples of such records can be in
    // no reference cycle: the collector need not watch it.
    if (untrack_) PyObject_GC_UnTrack(record.get());
    return record;
  }

 private:
  PyObject* cls_;
  std::array<Py_ssize_t, kMaxFields> offsets_{};
  std::size_t count_ = 0;
  bool direct_ = false;
  bool untrack_ = false;  // instances have no __dict__ that could close a cycle
};

}  // namespace lineage::binding

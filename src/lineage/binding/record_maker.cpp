#include "lineage/binding/record_maker.hpp"

#include "common/names.hpp"

namespace lineage::binding {

RecordMaker::RecordMaker(PyObject* cls, std::initializer_list<const char*> fields) : cls_(cls) {
  if (!PyType_Check(cls) || fields.size() > kMaxFields) return;
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
  if (type->tp_alloc == nullptr || type->tp_init == nullptr) return;
  // Anything that runs on construction besides setting the fields rules the shortcut out.
  if (qm::check(PyObject_HasAttrWithError(cls, QM_NAME("__post_init__")))) return;
  for (const char* field : fields) {
    qm::Ref descriptor = qm::checked(PyObject_GetAttrString(cls, field));
    if (!Py_IS_TYPE(descriptor.get(), &PyMemberDescr_Type)) return;
    const auto* member = reinterpret_cast<PyMemberDescrObject*>(descriptor.get());
    if (member->d_common.d_type != type || member->d_member->type != Py_T_OBJECT_EX) return;
    offsets_[count_++] = member->d_member->offset;
  }
  direct_ = true;
  untrack_ = PyType_IS_GC(type) && type->tp_dictoffset == 0 && !PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT);
}

}  // namespace lineage::binding

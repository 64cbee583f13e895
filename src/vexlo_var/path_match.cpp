// PathMatch: a small immutable pair, made once per match, so kept cheap to create.
#include "path_match.hpp"

#include <cstddef>

#include "tree_query.hpp"

namespace qm::vexlo {

namespace {

struct MatchObject {
  PyObject_HEAD
  PyObject* value;
  PyObject* chain;      // the way from the root (see path_text)
  PyObject* full_path;  // its text, written on first read
};

MatchObject* as_match(PyObject* self) { return reinterpret_cast<MatchObject*>(self); }

int match_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_match(self)->value);
  Py_VISIT(as_match(self)->chain);
  Py_VISIT(as_match(self)->full_path);
  return 0;
}

int match_clear(PyObject* self) noexcept {
  Py_CLEAR(as_match(self)->value);
  Py_CLEAR(as_match(self)->chain);
  Py_CLEAR(as_match(self)->full_path);
  return 0;
}

void match_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  match_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// Most matches are only tested by value, so the text waits until it is read.
Ref full_path_of(PyObject* self) {
  MatchObject* match = as_match(self);
  if (match->full_path == nullptr) {
    // Only a match cleared by the collector has neither.
    if (match->chain == nullptr) raise(PyExc_AttributeError, "full_path");
    match->full_path = path_text(match->chain).release();
  }
  return Ref::borrow(match->full_path);
}

PyObject* match_get_full_path(PyObject* self, void*) noexcept {
  return guard_object([&] { return full_path_of(self); });
}

PyObject* match_repr(PyObject* self) noexcept {
  return guard_object([&] {
    Ref full_path = full_path_of(self);
    return checked(PyUnicode_FromFormat("PathMatch(full_path=%R, value=%R)", full_path.get(),
                                        as_match(self)->value));
  });
}

PyMemberDef match_members[] = {
    {"value", Py_T_OBJECT_EX, offsetof(MatchObject, value), Py_READONLY,
     PyDoc_STR("The node found.")},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef match_getset[] = {
    {"full_path", match_get_full_path, nullptr,
     PyDoc_STR("The node's path from the root; \"$.\" + full_path selects it again."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot match_slots[] = {
    {Py_tp_doc, const_cast<char*>("One match of VexloVar.find: the node and its path.")},
    {Py_tp_members, match_members},
    {Py_tp_getset, match_getset},
    {Py_tp_repr, reinterpret_cast<void*>(match_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(match_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(match_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(match_dealloc)},
    {0, nullptr},
};

PyType_Spec match_spec = {
    "vexlo_var.PathMatch",
    sizeof(MatchObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    match_slots,
};

}  // namespace

Ref make_match_type(PyObject* module) {
  return checked(PyType_FromModuleAndSpec(module, &match_spec, nullptr));
}

Ref new_match(PyTypeObject* match_type, PyObject* value, PyObject* chain) {
  MatchObject* match = PyObject_GC_New(MatchObject, match_type);
  if (match == nullptr) throw PyErrOccurred{};
  match->value = Ref::borrow(value).release();
  match->chain = Ref::borrow(chain).release();
  match->full_path = nullptr;
  PyObject_GC_Track(match);
  return Ref::steal(reinterpret_cast<PyObject*>(match));
}

}  // namespace qm::vexlo

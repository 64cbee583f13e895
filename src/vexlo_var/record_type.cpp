// VexloVar: a dict subclass whose fields are also attributes. Class attributes
// (the dict methods, add, find) win over fields of the same name; a field never
// set reads as None.
#include "record.hpp"

#include "common/calls.hpp"
#include "tree_query.hpp"

namespace qm::vexlo {

namespace {

// "__x__": protocol probes (copy, pickle, ...) must keep seeing AttributeError.
bool is_dunder(PyObject* name) {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
  if (length < 5) return false;
  const int kind = PyUnicode_KIND(name);
  const void* data = PyUnicode_DATA(name);
  return PyUnicode_READ(kind, data, 0) == '_' && PyUnicode_READ(kind, data, 1) == '_' &&
         PyUnicode_READ(kind, data, length - 1) == '_' &&
         PyUnicode_READ(kind, data, length - 2) == '_';
}

PyObject* record_getattro(PyObject* self, PyObject* name) noexcept {
  return guard_object([&] {
    // The ordinary lookup first, without building an AttributeError on a miss.
    if (PyObject* found = _PyObject_GenericGetAttrWithDict(self, name, nullptr, 1)) {
      return Ref::steal(found);
    }
    if (PyErr_Occurred()) throw PyErrOccurred{};
    PyObject* value = nullptr;
    if (check(PyDict_GetItemRef(self, name, &value))) return Ref::steal(value);
    if (is_dunder(name)) {
      raise(PyExc_AttributeError, "'%.100s' object has no attribute '%U'", Py_TYPE(self)->tp_name,
            name);
    }
    return Ref::borrow(Py_None);
  });
}

int record_setattro(PyObject* self, PyObject* name, PyObject* value) noexcept {
  return guard_status([&] {
    // The slot wrappers (VexloVar.__setattr__, __delattr__) hand any object on as
    // the name; the messages below format it as a str.
    if (!PyUnicode_Check(name)) {
      raise(PyExc_TypeError, "attribute name must be string, not '%.200s'",
            Py_TYPE(name)->tp_name);
    }
    if (value == nullptr) {
      if (check(PyDict_Pop(self, name, nullptr)) == 0) {
        raise(PyExc_AttributeError, "'%.100s' object has no attribute '%U'",
              Py_TYPE(self)->tp_name, name);
      }
      return;
    }
    // Only a dict may need converting, and only then is the module state needed.
    if (PyDict_Check(value)) {
      store_field(state_for_type(Py_TYPE(self)), self, name, value);
    } else {
      check(PyDict_SetItem(self, name, value));
    }
  });
}

void store_arguments(const ModuleState& state, PyObject* self, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs > 1) {
    raise(PyExc_TypeError, "VexloVar expected at most 1 argument, got %zd", nargs);
  }
  if (nargs == 1) fill_record(state, self, args[0]);
  if (kwnames == nullptr) return;
  const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < count; ++i) {
    store_field(state, self, PyTuple_GET_ITEM(kwnames, i), args[nargs + i]);
  }
}

// type.__call__ with an argument tuple and dict: runs a subclass's own __new__
// and __init__.
Ref call_through_type(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  Ref positional = checked(PyTuple_New(nargs));
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    PyTuple_SET_ITEM(positional.get(), i, Ref::borrow(args[i]).release());
  }
  Ref keywords;
  if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
    keywords = checked(PyDict_New());
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
      check(PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]));
    }
  }
  return checked(PyType_Type.tp_call(type, positional.get(), keywords.get()));
}

// VexloVar(...) without an argument tuple; json's object_hook lands here with one
// exact dict, which dict's merge copies by cloning its table.
PyObject* record_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) noexcept {
  return guard_object([&] {
    auto* record_type = reinterpret_cast<PyTypeObject*>(type);
    const ModuleState& state = state_for_type(record_type);
    if (record_type != state.record_type) return call_through_type(type, args, nargsf, kwnames);
    Ref self = new_record(record_type);
    store_arguments(state, self.get(), args, PyVectorcall_NARGS(nargsf), kwnames);
    return self;
  });
}

// __init__, for subclasses and explicit VexloVar.__init__ calls.
int record_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guard_status([&] {
    const ModuleState& state = state_for_type(Py_TYPE(self));
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    store_arguments(state, self, &PyTuple_GET_ITEM(args, 0), nargs, nullptr);
    if (kwargs == nullptr) return;
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      Ref held_key = Ref::borrow(key);
      Ref held_value = Ref::borrow(value);
      store_field(state, self, held_key.get(), held_value.get());
    }
  });
}

PyObject* record_repr(PyObject* self) noexcept {
  return guard_object([&] {
    Ref items = checked(PyDict_Type.tp_repr(self));
    Ref type_name = checked(PyType_GetName(Py_TYPE(self)));
    return checked(PyUnicode_FromFormat("%U(%U)", type_name.get(), items.get()));
  });
}

int record_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  return PyDict_Type.tp_traverse(self, visit, arg);
}

int record_clear(PyObject* self) noexcept { return PyDict_Type.tp_clear(self); }

void record_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  // dict's own trashcan only serves exact dicts; without this one a long chain of
  // nested records would free itself recursively on the C stack.
  Py_TRASHCAN_BEGIN(self, record_dealloc)
  PyDict_Type.tp_dealloc(self);
  Py_DECREF(type);
  Py_TRASHCAN_END
}

// add(**fields): each keyword becomes a field; a present key keeps its place.
PyObject* record_add(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                     Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return guard_object([&] {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs != 0) raise(PyExc_TypeError, "add() takes no positional arguments");
    const ModuleState& state = state_of_class(defining_class);
    if (kwnames != nullptr) {
      const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
      for (Py_ssize_t i = 0; i < count; ++i) {
        store_field(state, self, PyTuple_GET_ITEM(kwnames, i), args[i]);
      }
    }
    return Ref::borrow(Py_None);
  });
}

// find(path, first=0)
PyObject* record_find(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                      Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return guard_object([&] {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > 2) {
      raise(PyExc_TypeError, "find() takes from 1 to 2 positional arguments but %zd were given",
            nargs);
    }
    PyObject* path = nargs > 0 ? args[0] : nullptr;
    PyObject* first = nargs > 1 ? args[1] : nullptr;
    const Py_ssize_t kwcount = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < kwcount; ++i) {
      PyObject* name = PyTuple_GET_ITEM(kwnames, i);
      PyObject** slot = nullptr;
      if (PyUnicode_EqualToUTF8(name, "path")) {
        slot = &path;
      } else if (PyUnicode_EqualToUTF8(name, "first")) {
        slot = &first;
      } else {
        raise(PyExc_TypeError, "find() got an unexpected keyword argument '%U'", name);
      }
      if (*slot != nullptr) {
        raise(PyExc_TypeError, "find() got multiple values for argument '%U'", name);
      }
      *slot = args[nargs + i];
    }
    if (path == nullptr) raise(PyExc_TypeError, "find() missing required argument 'path'");
    if (!PyUnicode_Check(path)) {
      raise(PyExc_TypeError, "find() argument 'path' must be str, not %.100s",
            Py_TYPE(path)->tp_name);
    }
    const bool first_only = first != nullptr && truthy(first);
    return find(state_of_class(defining_class), self, path, first_only);
  });
}

constexpr int kFastMethod = METH_METHOD | METH_FASTCALL | METH_KEYWORDS;

PyMethodDef record_methods[] = {
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(record_add)), kFastMethod,
     PyDoc_STR("add($self, /, **fields)\n--\n\nStores each keyword as a field; a field already "
               "present keeps its place.")},
    {"find", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(record_find)), kFastMethod,
     PyDoc_STR("find($self, /, path, first=0)\n--\n\nThe matches of a path (value, full_path) in this "
               "tree; with a true `first`, the first matched node itself or None.")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot record_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "VexloVar(mapping=(), /, **fields)\n--\n\n"
                    "A dict whose fields are also attributes; unset fields read as None.")},
    {Py_tp_getattro, reinterpret_cast<void*>(record_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(record_setattro)},
    {Py_tp_init, reinterpret_cast<void*>(record_init)},
    {Py_tp_repr, reinterpret_cast<void*>(record_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(record_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(record_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc)},
    {Py_tp_methods, record_methods},
    {0, nullptr},
};

PyType_Spec record_spec = {
    "vexlo_var.VexloVar",
    0,  // the size of a dict
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    record_slots,
};

}  // namespace

Ref make_record_type(PyObject* module) {
  Ref type = checked(PyType_FromModuleAndSpec(module, &record_spec,
                                              reinterpret_cast<PyObject*>(&PyDict_Type)));
  // No slot names the constructor's vectorcall before 3.14; set it directly.
  reinterpret_cast<PyTypeObject*>(type.get())->tp_vectorcall = record_vectorcall;
  return type;
}

}  // namespace qm::vexlo

// The method objects of both classes: a heap type that binds to instances like a
// function written in Python, called through vectorcall, with one argument parser
// shared by the vectorcall and tp_call routes.
#include "native_function.hpp"

#include <structmember.h>  // T_OBJECT: a NULL field reads as None, as for functions

#include <array>
#include <vector>

#include "names.hpp"
#include "process_state.hpp"

namespace qm {
namespace {

struct FunctionObject {
  PyObject_HEAD
  const MethodSpec* spec;
  PyObject* name;         // __name__, always a str
  PyObject* qualname;     // __qualname__, always a str
  PyObject* module;       // __module__
  PyObject* doc;          // __doc__
  PyObject* defaults;     // __defaults__: a tuple, or NULL for None
  PyObject* dict;         // __dict__, made on first use
  PyObject* params;       // tuple of the interned parameter names
  PyObject* weakrefs;
  vectorcallfunc vectorcall;
};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

// ---- argument parsing -------------------------------------------------------

// A keyword names a parameter when it is that very (interned) object, or else an
// equal str. Returns the parameter's place or -1.
Py_ssize_t find_param(PyObject* params, PyObject* key, Py_ssize_t from) {
  const Py_ssize_t count = PyTuple_GET_SIZE(params);
  for (Py_ssize_t i = from; i < count; ++i) {
    if (PyTuple_GET_ITEM(params, i) == key) return i;
  }
  if (!PyUnicode_Check(key)) return -1;
  for (Py_ssize_t i = from; i < count; ++i) {
    // Both operands are str: the comparison cannot fail.
    if (PyUnicode_Compare(PyTuple_GET_ITEM(params, i), key) == 0) return i;
  }
  return -1;
}

[[noreturn]] void raise_count(const MethodSpec& spec, const char* qualifier,
                              Py_ssize_t expected, Py_ssize_t given) {
  raise(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
        spec.name, qualifier, expected, expected == 1 ? "" : "s", given);
}

PyObject* default_object(Default value) {
  switch (value) {
    case Default::kZero: {
      static PyObject* const zero = PyLong_FromLong(0);  // immortal small int
      return zero;
    }
    case Default::kPyNone:
    case Default::kNone:
      break;
  }
  return Py_None;
}

// Keyword arguments as parallel arrays of borrowed names and values.
struct Keywords {
  PyObject* const* names = nullptr;
  PyObject* const* values = nullptr;
  Py_ssize_t count = 0;
};

// Fills out[0 .. param_count) with borrowed pointers, applying the default, or
// raises the TypeError of the first rule the call breaks.
void parse_arguments(const FunctionObject* fn, PyObject* const* positional, Py_ssize_t nargs,
                     const Keywords& kw, PyObject** out) {
  const MethodSpec& spec = *fn->spec;
  const Py_ssize_t count = spec.param_count;
  const bool has_default = spec.default_value != Default::kNone;
  const Py_ssize_t required = has_default ? count - 1 : count;

  if (nargs > count) raise_count(spec, has_default ? "at most" : "exactly", count, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = positional[i];

  if (kw.count == 0) {
    if (nargs < required) raise_count(spec, has_default ? "at least" : "exactly", required, nargs);
    for (Py_ssize_t i = nargs; i < count; ++i) out[i] = default_object(spec.default_value);
    return;
  }

  // Parameters not filled by position are looked up among the keywords, in order.
  Py_ssize_t consumed = 0;
  for (Py_ssize_t i = nargs; i < count; ++i) {
    PyObject* const name = PyTuple_GET_ITEM(fn->params, i);
    PyObject* found = nullptr;
    for (Py_ssize_t k = 0; k < kw.count && found == nullptr; ++k) {
      if (kw.names[k] == name) found = kw.values[k];
    }
    for (Py_ssize_t k = 0; k < kw.count && found == nullptr; ++k) {
      if (PyUnicode_Check(kw.names[k]) && PyUnicode_Compare(kw.names[k], name) == 0) {
        found = kw.values[k];
      }
    }
    if (found != nullptr) {
      out[i] = found;
      ++consumed;
    } else if (i < required) {
      // The last field is the place of the first parameter left without a value.
      raise_count(spec, has_default ? "at least" : "exactly", required, i);
    } else {
      out[i] = default_object(spec.default_value);
    }
  }
  if (consumed == kw.count) return;

  // Some keyword was not used: report the first one that is not a parameter filled
  // by keyword above.
  for (Py_ssize_t k = 0; k < kw.count; ++k) {
    PyObject* const key = kw.names[k];
    if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
    if (find_param(fn->params, key, nargs) >= 0) continue;
    if (find_param(fn->params, key, 0) >= 0) {
      raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", spec.name, key);
    }
    raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name, key);
  }
}

Ref run_body(const FunctionObject* fn, PyObject* const* args) {
  Ref result = fn->spec->body(args);
  if (!result && !PyErr_Occurred()) {
    raise(PyExc_SystemError, "%s() returned NULL without setting an exception", fn->spec->name);
  }
  return result;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
  return guard_object([&] {
    RecursionGuard guard;
    const FunctionObject* fn = as_function(self);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Keywords kw;
    if (kwnames != nullptr) {
      kw.names = PySequence_Fast_ITEMS(kwnames);
      kw.values = args + nargs;
      kw.count = PyTuple_GET_SIZE(kwnames);
    }
    std::array<PyObject*, kMaxParams> filled{};
    parse_arguments(fn, args, nargs, kw, filled.data());
    return run_body(fn, filled.data());
  });
}

// Reached by PyObject_Call and type(f).__call__: the same parser over a tuple and
// a dict. The values are held here, since the body may run code that changes the dict.
PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guard_object([&] {
    RecursionGuard guard;
    const FunctionObject* fn = as_function(self);
    std::vector<PyObject*> names;
    std::vector<PyObject*> values;
    if (kwargs != nullptr) {
      Py_ssize_t pos = 0;
      PyObject* key = nullptr;
      PyObject* value = nullptr;
      while (PyDict_Next(kwargs, &pos, &key, &value)) {
        names.push_back(key);
        values.push_back(value);
      }
    }
    const Keywords kw{names.data(), values.data(), static_cast<Py_ssize_t>(names.size())};
    std::array<PyObject*, kMaxParams> filled{};
    parse_arguments(fn, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), kw, filled.data());
    std::array<Ref, kMaxParams> held;
    for (Py_ssize_t i = 0; i < fn->spec->param_count; ++i) held[i] = Ref::borrow(filled[i]);
    return run_body(fn, filled.data());
  });
}

// ---- binding, repr, attributes ----------------------------------------------

// A function reached through a class stays itself; through an instance it binds.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) noexcept {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

PyObject* get_name(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->name); }
PyObject* get_qualname(PyObject* self, void*) noexcept {
  return Py_NewRef(as_function(self)->qualname);
}

// __name__ and __qualname__ accept only str and cannot be deleted.
int set_str_field(PyObject** field, PyObject* value, const char* attribute) noexcept {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute);
    return -1;
  }
  Py_XSETREF(*field, Py_NewRef(value));
  return 0;
}
int set_name(PyObject* self, PyObject* value, void*) noexcept {
  return set_str_field(&as_function(self)->name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
  return set_str_field(&as_function(self)->qualname, value, "__qualname__");
}

PyObject* get_defaults(PyObject* self, void*) noexcept {
  PyObject* defaults = as_function(self)->defaults;
  return Py_NewRef(defaults != nullptr ? defaults : Py_None);
}
// A tuple or None; deleting means None, as for Python functions.
int set_defaults(PyObject* self, PyObject* value, void*) noexcept {
  if (value == Py_None) value = nullptr;
  if (value != nullptr && !PyTuple_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
    return -1;
  }
  Py_XSETREF(as_function(self)->defaults, Py_XNewRef(value));
  return 0;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// ---- lifetime -----------------------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  FunctionObject* fn = as_function(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(fn->name);
  Py_VISIT(fn->qualname);
  Py_VISIT(fn->module);
  Py_VISIT(fn->doc);
  Py_VISIT(fn->defaults);
  Py_VISIT(fn->dict);
  Py_VISIT(fn->params);
  return 0;
}

// Leaves name and qualname in place: they must stay str for as long as the object
// can be reached, and str objects cannot take part in a cycle.
int function_clear(PyObject* self) noexcept {
  FunctionObject* fn = as_function(self);
  Py_CLEAR(fn->module);
  Py_CLEAR(fn->doc);
  Py_CLEAR(fn->defaults);
  Py_CLEAR(fn->dict);
  return 0;
}

void function_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  FunctionObject* fn = as_function(self);
  PyObject_GC_UnTrack(self);
  if (fn->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  function_clear(self);
  Py_CLEAR(fn->name);
  Py_CLEAR(fn->qualname);
  Py_CLEAR(fn->params);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(function_call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "querimo_main.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

Ref defaults_tuple(Default value) {
  if (value == Default::kNone) return Ref();
  return checked(PyTuple_Pack(1, default_object(value)));
}

Ref param_names(const MethodSpec& spec) {
  Ref names = checked(PyTuple_New(spec.param_count));
  for (Py_ssize_t i = 0; i < spec.param_count; ++i) {
    PyTuple_SET_ITEM(names.get(), i, Py_NewRef(intern_or_throw(spec.params[i])));
  }
  return names;
}

}  // namespace

void init_function_type(PyObject*) {
  // One type for the life of the process: the module serves a single interpreter,
  // and functions made by an earlier, failed initialisation keep their type alive.
  ProcessState& state = process_state();
  if (state.function_type != nullptr) return;
  state.function_type = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&function_spec)));
}

Ref make_function(const MethodSpec& spec, const char* class_name) {
  PyTypeObject* type = process_state().function_type;
  assert(type != nullptr && "init_function_type runs first");
  assert(spec.param_count >= 1 && spec.param_count <= kMaxParams);

  // Everything that can fail is made first, so the object is complete once allocated.
  Ref name = checked(PyUnicode_InternFromString(spec.name));
  Ref qualname = checked(PyUnicode_FromFormat("%s.%s", class_name, spec.name));
  Ref doc = checked(PyUnicode_FromString(spec.signature));
  Ref defaults = defaults_tuple(spec.default_value);
  Ref params = param_names(spec);
  PyObject* const module = QM_NAME("querimo_main");

  FunctionObject* fn = PyObject_GC_New(FunctionObject, type);
  if (fn == nullptr) throw PyErrOccurred{};
  fn->spec = &spec;
  fn->name = name.release();
  fn->qualname = qualname.release();
  fn->module = Py_NewRef(module);
  fn->doc = doc.release();
  fn->defaults = defaults.release();
  fn->dict = nullptr;
  fn->params = params.release();
  fn->weakrefs = nullptr;
  fn->vectorcall = function_vectorcall;
  PyObject_GC_Track(fn);
  return Ref::steal(reinterpret_cast<PyObject*>(fn));
}

}  // namespace qm

// Both classes are ordinary heap classes made by calling `type` itself.
#include "common/calls.hpp"
#include "common/names.hpp"
#include "common/process_state.hpp"
#include "module.hpp"

namespace qm {

Ref make_class(const MethodTable& table) {
  Ref name = str_from(table.class_name);
  Ref namespace_dict = checked(PyDict_New());
  // Same order as a class statement: __module__, __qualname__, then the body.
  check(PyDict_SetItem(namespace_dict.get(), QM_NAME("__module__"), QM_NAME("querimo_main")));
  check(PyDict_SetItem(namespace_dict.get(), QM_NAME("__qualname__"), name.get()));
  for (std::size_t i = 0; i < table.size; ++i) {
    const MethodSpec& spec = table.methods[i];
    Ref method = make_function(spec, table.class_name);
    if (spec.is_static) method = call(process_state().builtin_staticmethod, method.get());
    Ref method_name = checked(PyUnicode_InternFromString(spec.name));
    check(PyDict_SetItem(namespace_dict.get(), method_name.get(), method.get()));
  }
  Ref bases = checked(PyTuple_New(0));
  return call(reinterpret_cast<PyObject*>(&PyType_Type), name.get(), bases.get(),
              namespace_dict.get());
}

}  // namespace qm

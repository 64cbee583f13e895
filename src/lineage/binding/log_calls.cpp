// log_shape: the statement shapes of query logs, for sql_lineage.logs.shapes.
#include "lineage/binding/entry_points.hpp"
#include "lineage/binding/python_text.hpp"
#include "query_logs/statement_shape.hpp"

namespace lineage::binding {

qm::Ref log_shape(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) qm::raise(PyExc_TypeError, "log_shape() takes 2 arguments (%zd given)", nargs);
  if (!PyUnicode_Check(args[0])) qm::raise(PyExc_TypeError, "text must be a str");
  const int backslash = qm::check(PyObject_IsTrue(args[1]));
  // Only ASCII texts are ours; their UTF-8 is their characters.
  if (!PyUnicode_IS_ASCII(args[0])) return qm::Ref::borrow(Py_None);
  const std::optional<std::string> shape = query_logs::statement_shape(utf8_view(args[0]), backslash != 0);
  if (!shape) return qm::Ref::borrow(Py_None);
  return qm::checked(PyUnicode_FromStringAndSize(shape->data(), static_cast<Py_ssize_t>(shape->size())));
}

}  // namespace lineage::binding

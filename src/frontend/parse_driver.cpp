// The parse driver: clean the text, parse it, analyse the tree and reshape each
// lineage entry into a record with the database split off the table.
#include "common/names.hpp"
#include "common/process_state.hpp"
#include "common/unpack.hpp"
#include "external/record.hpp"
#include "analyzer/analyzer.hpp"
#include "front_end.hpp"
#include "module/own_methods.hpp"

namespace qm {
namespace {

// database_table.split(".")[index]
Ref split_piece(PyObject* database_table, Py_ssize_t index) {
  Ref pieces = call_method(database_table, QM_NAME("split"), QM_NAME("."));
  return checked(PySequence_GetItem(pieces.get(), index));
}

}  // namespace

// _parse_sql(self, sql)
Ref front_end_parse_sql(PyObject* const* args) {
  PyObject* self = args[0];
  Ref sql = call_own_static(front_end_class_record(), self, QM_NAME("_re_hint"), front_end_re_hint,
                            args[1]);
  Ref parse = module_global(QM_NAME("parse"));
  Ref tree = call(parse.get(), sql.get());
  Ref analyzer_class = module_global(QM_NAME("Analyze"));
  Ref analyzer = construct_own(analyze_class_record(), analyzer_class.get(), analyze_init, tree.get());
  // analyze_sql() with its level left to the default, 0.
  PyObject* zero = PyLong_FromLong(0);  // a small int: immortal, never fails
  Ref result = own_methods_in_force(analyzer.get(), analyze_class_record())
                   ? call_own(analyze_class_record(), analyzer.get(), QM_NAME("analyze_sql"),
                              analyze_analyze_sql, zero)
                   : call_method(analyzer.get(), QM_NAME("analyze_sql"));

  Ref records = checked(PyList_New(0));
  PyObject* kwnames = QM_KWNAMES("database", "table", "src", "tgt");
  Ref iterator = checked(PyObject_GetIter(result.get()));
  while (Ref entry = Ref::steal(PyIter_Next(iterator.get()))) {
    Ref items[3];
    unpack_three(entry.get(), items);
    PyObject* database_table = items[0].get();
    Ref database;
    Ref table;
    if (contains(database_table, QM_NAME("."))) {
      database = split_piece(database_table, 0);
      table = split_piece(database_table, 1);
    } else {
      database = Ref::borrow(Py_None);
      table = items[0];
    }
    Ref record = new_record(kwnames, database.get(), table.get(), items[1].get(),
                            items[2].get());
    check(PyList_Append(records.get(), record.get()));
  }
  if (PyErr_Occurred()) throw PyErrOccurred{};
  return records;
}

}  // namespace qm

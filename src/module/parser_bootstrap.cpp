// Binds the SQL parser. Its parsing engine, as installed, imports Iterable from
// `collections`, which the host no longer offers there; when the parser cannot be
// imported, the engine's infix.py (found next to the installed `ply` package) is
// rewritten to import it from `collections.abc`, and the parser is imported again.
// The repair binds its working values as module globals, as module-level code would.
#include "common/calls.hpp"
#include "common/names.hpp"
#include "common/process_state.hpp"
#include "module.hpp"

namespace qm {
namespace {

// Makes `exc` the exception being handled for the life of the scope, so that every
// exception raised meanwhile gets it as its context.
class HandlingScope {
 public:
  explicit HandlingScope(PyObject* exc) noexcept
      : previous_(Ref::steal(PyErr_GetHandledException())) {
    PyErr_SetHandledException(exc);
  }
  ~HandlingScope() { PyErr_SetHandledException(previous_.get()); }
  HandlingScope(const HandlingScope&) = delete;
  HandlingScope& operator=(const HandlingScope&) = delete;

 private:
  Ref previous_;
};

// `with manager as target: body(target)`, with the protocol's exit semantics.
template <class Body>
void with_block(PyObject* manager, Body&& body) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(manager));
  Ref enter = getattr(type, QM_NAME("__enter__"));
  Ref exit = getattr(type, QM_NAME("__exit__"));
  Ref target = call(enter.get(), manager);
  try {
    body(target.get());
  } catch (const PyErrOccurred&) {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (!exc) throw;
    HandlingScope handling(exc.get());
    Ref traceback = Ref::steal(PyException_GetTraceback(exc.get()));
    Ref suppress = call(exit.get(), manager, reinterpret_cast<PyObject*>(Py_TYPE(exc.get())),
                        exc.get(), traceback ? traceback.get() : Py_None);
    if (truthy(suppress.get())) return;
    PyErr_SetRaisedException(exc.release());
    throw;
  }
  call(exit.get(), manager, Py_None, Py_None, Py_None);
}

// open(file, mode, encoding="utf-8") through the built-in kept at exec.
Ref open_text(PyObject* file, const char* mode) {
  Ref mode_text = str_from(mode);
  Ref kwnames = checked(PyTuple_Pack(1, QM_NAME("encoding")));
  return call_kw(process_state().builtin_open, kwnames.get(), file, mode_text.get(),
                 QM_NAME("utf-8"));
}

// Cleanup that runs while an error is pending: its own failure is dropped.
void call_quietly(PyObject* os, PyObject* method, PyObject* arg) noexcept {
  ErrorScope keep_error;
  PyObject* args[] = {os, arg};
  Ref result = Ref::steal(PyObject_VectorcallMethod(method, args, 2, nullptr));
  if (!result) PyErr_Clear();
}

// Writes the repaired text beside `path` and moves it over `path` in one step, so a
// failure part-way leaves the old file whole. The new file keeps the old file's
// permission bits; the temporary file is removed when anything fails.
void write_repaired(PyObject* globals, PyObject* os, PyObject* path, PyObject* data) {
  Ref os_path = getattr(os, QM_NAME("path"));
  Ref folder = call_method(os_path.get(), QM_NAME("dirname"), path);
  if (!truthy(folder.get())) folder = getattr(os, QM_NAME("curdir"));
  Ref status = call_method(os, QM_NAME("stat"), path);
  Ref st_mode = getattr(status.get(), QM_NAME("st_mode"));
  Ref permission_mask = checked(PyLong_FromLong(07777));
  Ref mode = checked(PyNumber_And(st_mode.get(), permission_mask.get()));

  Ref tempfile = import_module(nullptr, QM_NAME("tempfile"));
  Ref mkstemp = getattr(tempfile.get(), QM_NAME("mkstemp"));
  Ref kwnames = checked(PyTuple_Pack(3, QM_NAME("dir"), QM_NAME("prefix"), QM_NAME("suffix")));
  Ref prefix = str_from(".infix-");
  Ref suffix = str_from(".tmp");
  Ref made = call_kw(mkstemp.get(), kwnames.get(), folder.get(), prefix.get(), suffix.get());
  if (!PyTuple_Check(made.get()) || PyTuple_GET_SIZE(made.get()) != 2) {
    raise(PyExc_TypeError, "mkstemp() did not return a pair");
  }
  PyObject* fd = PyTuple_GET_ITEM(made.get(), 0);
  PyObject* temporary = PyTuple_GET_ITEM(made.get(), 1);

  try {
    Ref writer;
    try {
      writer = open_text(fd, "w");
    } catch (...) {
      call_quietly(os, QM_NAME("close"), fd);  // open did not take the descriptor
      throw;
    }
    with_block(writer.get(), [&](PyObject* f) {
      bind_global(globals, QM_NAME("f"), f);
      Ref old_line = str_from("from collections import Iterable");
      bind_global(globals, QM_NAME("old"), old_line.get());
      Ref new_line = str_from("from collections.abc import Iterable");
      bind_global(globals, QM_NAME("new"), new_line.get());
      Ref re = module_global(QM_NAME("re"));
      Ref text = call_method(re.get(), QM_NAME("sub"), old_line.get(), new_line.get(), data);
      call_method(f, QM_NAME("write"), text.get());
    });
    call_method(os, QM_NAME("chmod"), temporary, mode.get());
    call_method(os, QM_NAME("replace"), temporary, path);
  } catch (...) {
    call_quietly(os, QM_NAME("unlink"), temporary);
    throw;
  }
}

// Runs while the first ImportError is being handled.
void repair_and_import(PyObject* globals) {
  Ref os = import_module(globals, QM_NAME("os"));
  bind_global(globals, QM_NAME("os"), os.get());
  Ref ply = import_module(globals, QM_NAME("ply"));
  bind_global(globals, QM_NAME("ply"), ply.get());

  // Separators: the installed path uses "\" on Windows and "/" elsewhere.
  Ref os_name = getattr(os.get(), QM_NAME("name"));
  const bool windows = equal(os_name.get(), QM_NAME("nt"));
  Ref old_sep = str_from(windows ? "/" : "\\");
  bind_global(globals, QM_NAME("old"), old_sep.get());
  Ref new_sep = str_from(windows ? "\\" : "/");
  bind_global(globals, QM_NAME("new"), new_sep.get());

  Ref ply_suffix = str_from("\\ply\\__init__.py");
  Ref old_path = checked(PyUnicode_Replace(ply_suffix.get(), old_sep.get(), new_sep.get(), -1));
  bind_global(globals, QM_NAME("old_path"), old_path.get());
  Ref infix_suffix = str_from("\\mo_parsing\\infix.py");
  Ref new_path =
      checked(PyUnicode_Replace(infix_suffix.get(), old_sep.get(), new_sep.get(), -1));
  bind_global(globals, QM_NAME("new_path"), new_path.get());

  Ref ply_file = getattr(ply.get(), QM_NAME("__file__"));
  Ref path = call_method(ply_file.get(), QM_NAME("replace"), old_path.get(), new_path.get());
  bind_global(globals, QM_NAME("path"), path.get());

  Ref data;
  Ref reader = open_text(path.get(), "r");
  with_block(reader.get(), [&](PyObject* f) {
    bind_global(globals, QM_NAME("f"), f);
    data = call_method(f, QM_NAME("read"));
    bind_global(globals, QM_NAME("data"), data.get());
  });

  write_repaired(globals, os.get(), path.get(), data.get());

  bind_global(globals, QM_NAME("parse"),
              import_from(globals, QM_NAME("moz_sql_parser"), QM_NAME("parse")).get());
}

}  // namespace

void bind_parser(PyObject* globals) {
  try {
    bind_global(globals, QM_NAME("parse"),
                import_from(globals, QM_NAME("moz_sql_parser"), QM_NAME("parse")).get());
    return;
  } catch (const PyErrOccurred&) {
    Ref first = Ref::steal(PyErr_GetRaisedException());
    if (!first || !PyErr_GivenExceptionMatches(first.get(), process_state().builtin_import_error)) {
      PyErr_SetRaisedException(first.release());
      throw;
    }
    HandlingScope handling(first.get());
    repair_and_import(globals);
  }
}

}  // namespace qm

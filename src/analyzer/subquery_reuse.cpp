#include "subquery_reuse.hpp"

#include <cstdlib>
#include <cstring>

#include "analyzer_state.hpp"

namespace qm {
namespace {

thread_local ReuseSession* current_session = nullptr;

bool reuse_enabled() {
  // QUERIMO_REUSE_SUBQUERIES=0 turns reuse off, so that tests can show it changes nothing.
  const char* setting = std::getenv("QUERIMO_REUSE_SUBQUERIES");
  return setting == nullptr || std::strcmp(setting, "0") != 0;
}

// The sub-analyser's distinct lineage entries, in their order, and the same grouped
// by output name, when every entry is a 3-tuple of exact str; else both empty (the
// carry-over then walks the entries itself, with its own error reporting). Carrying
// over each distinct entry once keeps a sub-query's repeats from multiplying level
// by level when one alias is reused at many levels.
void index_entries(PyObject* analyzer, SubqueryAnalysis& analysis) {
  Ref sqls = field(state_record(analyzer).get(), QM_NAME("sqls"));
  // Nothing to carry over: the carry-over walks the empty list itself.
  if (!PyList_CheckExact(sqls.get()) || PyList_GET_SIZE(sqls.get()) == 0) return;
  Ref distinct = checked(PyList_New(0));
  Ref seen = checked(PySet_New(nullptr));
  Ref index = checked(PyDict_New());
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sqls.get()); ++i) {
    PyObject* entry = PyList_GET_ITEM(sqls.get(), i);
    if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != 3) return;
    for (Py_ssize_t k = 0; k < 3; ++k) {
      if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(entry, k))) return;
    }
    if (check(PySet_Contains(seen.get(), entry))) continue;
    check(PySet_Add(seen.get(), entry));
    check(PyList_Append(distinct.get(), entry));
    PyObject* output_name = PyTuple_GET_ITEM(entry, 2);
    PyObject* group = nullptr;
    check(PyDict_GetItemRef(index.get(), output_name, &group));
    Ref owned_group = Ref::steal(group);
    if (!owned_group) {
      owned_group = checked(PyList_New(0));
      check(PyDict_SetItem(index.get(), output_name, owned_group.get()));
    }
    check(PyList_Append(owned_group.get(), entry));
  }
  analysis.distinct_entries = std::move(distinct);
  analysis.by_output_name = std::move(index);
}

SubqueryAnalysis analyse_now(PyObject* analyzer_class, PyObject* subquery, PyObject* level) {
  SubqueryAnalysis analysis;
  analysis.analyzer = construct_own(analyze_class_record(), analyzer_class, analyze_init, subquery);
  call_analyzer(analysis.analyzer.get(), QM_NAME("analyze_sql"), analyze_analyze_sql, level);
  return analysis;
}

}  // namespace

ReuseScope::ReuseScope() : session_(current_session) {
  if (session_ == nullptr) {
    session_ = &own_;
    current_session = session_;
  }
  ++session_->depth;
}

ReuseScope::~ReuseScope() {
  --session_->depth;
  if (session_ == &own_) {
    current_session = nullptr;
    // Dropping the cached analysers may run finalizers; a pending error survives them.
    ErrorScope keep_error;
    own_.cache.reset();
  }
}

namespace {

// Reads, once per session, whether reuse is on, and makes the cache when it is.
bool reuse_in(ReuseSession& session) {
  if (!session.decided) {
    session.decided = true;
    session.enabled = reuse_enabled();
    if (session.enabled) session.cache = checked(PyDict_New());
  }
  return session.enabled;
}

}  // namespace

bool in_nested_analysis() {
  ReuseSession* session = current_session;
  return session != nullptr && session->depth > 1 && reuse_in(*session);
}

SubqueryAnalysis analyse_subquery(PyObject* subquery, PyObject* level) {
  Ref analyzer_class = module_global(QM_NAME("Analyze"));
  ReuseSession* session = current_session;
  if (session == nullptr || !reuse_in(*session)) {
    return analyse_now(analyzer_class.get(), subquery, level);
  }

  Ref subquery_id = checked(PyLong_FromVoidPtr(subquery));
  Ref class_id = checked(PyLong_FromVoidPtr(analyzer_class.get()));
  Ref key = checked(PyTuple_Pack(3, subquery_id.get(), level, class_id.get()));
  if (PyObject_Hash(key.get()) == -1) {  // a level that cannot be hashed: no reuse
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PyErrOccurred{};
    PyErr_Clear();
    return analyse_now(analyzer_class.get(), subquery, level);
  }
  PyObject* found = nullptr;
  check(PyDict_GetItemRef(session->cache.get(), key.get(), &found));
  if (Ref cached = Ref::steal(found)) {
    PyObject* distinct = PyTuple_GET_ITEM(cached.get(), 3);
    PyObject* index = PyTuple_GET_ITEM(cached.get(), 4);
    return {Ref::borrow(PyTuple_GET_ITEM(cached.get(), 2)),
            distinct == Py_None ? Ref() : Ref::borrow(distinct),
            index == Py_None ? Ref() : Ref::borrow(index)};
  }

  SubqueryAnalysis analysis = analyse_now(analyzer_class.get(), subquery, level);
  index_entries(analysis.analyzer.get(), analysis);
  PyObject* distinct = analysis.distinct_entries ? analysis.distinct_entries.get() : Py_None;
  PyObject* index = analysis.by_output_name ? analysis.by_output_name.get() : Py_None;
  // The entry keeps the sub-query and the class alive, so their ids stay theirs.
  Ref value = checked(PyTuple_Pack(5, subquery, analyzer_class.get(), analysis.analyzer.get(),
                                   distinct, index));
  check(PyDict_SetItem(session->cache.get(), key.get(), value.get()));
  return analysis;
}

}  // namespace qm

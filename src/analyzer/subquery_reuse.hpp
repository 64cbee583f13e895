// Reuse of sub-query analyses within one top-level analyze_sql call.
//
// Every outer column that reads from a sub-query needs that sub-query's analysis;
// analysing it again for each column makes the cost grow with columns to the
// power of the nesting depth. A sub-query is therefore analysed once per
// top-level call and its analyser reused, keyed by the identity of the sub-query
// mapping in its parent's tree, the level and the analyser class in force.
// Nothing is kept once the top-level call returns.
#pragma once
#include "common/ref.hpp"

namespace qm {

// The sub-query analyses of one top-level call. The cache is made when the first
// sub-query is analysed: most statements have none.
struct ReuseSession {
  Ref cache;             // key (id(subquery), level, id(class)) -> (subquery, class, analysis...)
  int depth = 0;         // analyze_sql calls open on this thread
  bool decided = false;  // whether reuse is on has been read
  bool enabled = false;
};

// Opens a reuse session for the calling thread unless one is open already (the
// nested analyze_sql calls of sub-analysers join their top-level call's session).
class ReuseScope {
 public:
  ReuseScope();
  ~ReuseScope();
  ReuseScope(const ReuseScope&) = delete;
  ReuseScope& operator=(const ReuseScope&) = delete;

 private:
  ReuseSession own_;  // the session, when this scope opened it
  ReuseSession* session_;
};

// True inside an analyze_sql that runs within another one on this thread (a
// sub-analyser's): its tree is a sub-tree of the top-level call's copy.
bool in_nested_analysis();

struct SubqueryAnalysis {
  Ref analyzer;          // the sub-analyser after its analyze_sql
  Ref distinct_entries;  // its distinct lineage entries in order, or empty
  Ref by_output_name;    // the same grouped by output name, or empty
};

// The analysis of `subquery` at `level` (already raised by one), made by the
// module's current Analyze class: from the session when it has one, else new.
SubqueryAnalysis analyse_subquery(PyObject* subquery, PyObject* level);

}  // namespace qm

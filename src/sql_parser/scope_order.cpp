#include "sql_parser/scope_order.hpp"

#include <cstddef>
#include <utility>
#include <vector>

namespace sql_parser {

namespace model = lineage::model;
using model::ScopeId;

void order_scopes_parent_first(model::Statement& st) {
  const std::size_t n = st.scopes.size();
  bool ordered = true;
  for (std::size_t i = 0; i < n && ordered; ++i) {
    ordered = st.scopes[i].parent < static_cast<ScopeId>(i);
  }
  if (ordered) return;
  // Children lists in index order, then a breadth-first walk from the roots.
  std::vector<std::size_t> first_child(n + 1, 0);
  for (const model::Scope& s : st.scopes) {
    std::size_t slot = s.parent >= 0 && static_cast<std::size_t>(s.parent) < n ? static_cast<std::size_t>(s.parent) : n;
    ++first_child[slot];
  }
  std::vector<std::size_t> start(n + 2, 0);
  for (std::size_t i = 0; i <= n; ++i) start[i + 1] = start[i] + first_child[i];
  std::vector<std::size_t> children(n);
  std::vector<std::size_t> fill(start.begin(), start.end() - 1);
  for (std::size_t i = 0; i < n; ++i) {
    const ScopeId p = st.scopes[i].parent;
    std::size_t slot = p >= 0 && static_cast<std::size_t>(p) < n ? static_cast<std::size_t>(p) : n;
    children[fill[slot]++] = i;
  }
  std::vector<std::size_t> order;
  order.reserve(n);
  std::vector<char> seen(n, 0);
  auto walk_from = [&](std::size_t slot) {
    for (std::size_t c = start[slot]; c < start[slot + 1]; ++c) {
      if (!seen[children[c]]) {
        seen[children[c]] = 1;
        order.push_back(children[c]);
      }
    }
  };
  walk_from(n);
  for (std::size_t head = 0; head < order.size(); ++head) walk_from(order[head]);
  // A scope on a parent cycle (never made by the parser) keeps its place at the end.
  for (std::size_t i = 0; i < n; ++i) {
    if (!seen[i]) order.push_back(i);
  }
  std::vector<ScopeId> new_id(n);
  for (std::size_t k = 0; k < n; ++k) new_id[order[k]] = static_cast<ScopeId>(k);
  auto remap = [&](ScopeId& id) {
    if (id >= 0 && static_cast<std::size_t>(id) < n) id = new_id[static_cast<std::size_t>(id)];
  };
  std::vector<model::Scope> scopes;
  scopes.reserve(n);
  for (std::size_t k = 0; k < n; ++k) scopes.push_back(std::move(st.scopes[order[k]]));
  for (model::Scope& s : scopes) {
    remap(s.parent);
    for (model::Cte& cte : s.ctes) remap(cte.scope);
    for (model::Source& src : s.sources) {
      remap(src.scope);
      for (model::NestedQuery& q : src.subqueries) remap(q.scope);
    }
    for (model::OutputColumn& out : s.outputs) {
      for (model::NestedQuery& q : out.subqueries) remap(q.scope);
    }
    for (model::NestedQuery& q : s.subqueries) remap(q.scope);
    for (ScopeId& m : s.members) remap(m);
  }
  st.scopes = std::move(scopes);
  remap(st.root);
}

}  // namespace sql_parser

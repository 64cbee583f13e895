// Scopes children first: CTEs, FROM items, select lists, clauses, set operations.
#include "lineage/resolve/resolver.hpp"

#include <algorithm>

#include "common/error.hpp"
#include "common/room.hpp"

namespace lineage::resolve::detail {

void Resolver::resolve_scope(ScopeId s) {
  ScopeState& state = states_[s];
  if (state.phase != ScopeState::Phase::Fresh) return;  // done, or a cycle back into it
  if (++depth_ > kMaxDepth || qm::native_stack_nearly_exhausted()) throw NestingTooDeep{};
  state.phase = ScopeState::Phase::Busy;
  const model::Scope& scope = st_.scopes[s];
  // Every CTE first, in order: a chain of them then resolves without nesting.
  for (const model::Cte& cte : scope.ctes) {
    if (valid(cte.scope)) resolve_scope(cte.scope);
  }
  switch (scope.kind) {
    case model::ScopeKind::SetOperation: resolve_set_operation(s); break;
    default: resolve_select(s); break;
  }
  states_[s].phase = ScopeState::Phase::Done;
  --depth_;
}

void Resolver::resolve_set_operation(ScopeId s) {
  const model::Scope& scope = st_.scopes[s];
  bool first = true;
  for (ScopeId member : scope.members) {
    if (!valid(member)) continue;
    resolve_scope(member);
    states_[s].uses.push_back(member);
    const auto& member_columns = states_[member].columns;
    auto& columns = states_[s].columns;
    if (first) {
      // Names come from the first member; a recursive member reading this
      // scope meanwhile sees them.
      columns = member_columns;
      states_[s].has_open = states_[member].has_open;
      first = false;
      continue;
    }
    if (member_columns.size() != columns.size()) {
      problem("the members of a set operation have different numbers of columns");
    }
    const std::size_t n = std::min(member_columns.size(), columns.size());
    for (std::size_t i = 0; i < n; ++i) {
      auto& leaves = columns[i].leaves;
      leaves.insert(leaves.end(), member_columns[i].leaves.begin(), member_columns[i].leaves.end());
    }
  }
  // ORDER BY of the whole set operation: its output names or positions.
  std::vector<Leaf> scratch;
  for (const ColumnRef& ref : scope.refs) {
    scratch.clear();
    if (ref.ordinal > 0) {
      leaves_of_ref(s, ref, Usage::Identity, false, scratch);
    } else {
      Binding whole;
      whole.kind = Binding::Kind::Scope;
      whole.scope = s;
      if (const ScopeColumn* column = find_column(whole, states_[s].columns, ref.name)) scratch = column->leaves;
    }
    note_indirect(s, scratch, 0, kind_of_clause(ref.clause));
  }
}

void Resolver::resolve_select(ScopeId s) {
  const model::Scope& scope = st_.scopes[s];
  // Bound in order: a LATERAL item may read the items before it, never those after.
  states_[s].bindings.reserve(scope.sources.size());
  for (std::size_t i = 0; i < scope.sources.size(); ++i) bind_source(s, i);

  std::vector<ScopeColumn> columns;
  columns.reserve(scope.outputs.size());
  std::vector<AliasedColumn> aliased;  // the items before this one that have an alias
  // A table whose columns are unknown may hold any name: then no alias is read
  // laterally, and the aliases need no keeping.
  bool lateral = true;
  for (const Binding& binding : states_[s].bindings) {
    if (binding.kind == Binding::Kind::Table && binding.known == nullptr) lateral = false;
  }
  for (const model::OutputColumn& output : scope.outputs) {
    if (output.kind == model::OutputColumn::Kind::Star) {
      expand_star(s, output, columns);
      continue;
    }
    ScopeColumn column;
    column.name = output.name.text;
    column.quoted = output.name.quoted;
    column.leaves.reserve(output.refs.size());  // most references reach one column
    for (const ColumnRef& ref : output.refs) {
      const std::size_t before = column.leaves.size();
      if (!lateral_alias(s, ref, aliased, columns, column.leaves)) {
        leaves_of_ref(s, ref, ref.usage, false, column.leaves);
      }
      if (ref.in_case_condition) {
        note_indirect(s, column.leaves, before, IndirectKind::Conditional);
      } else if (ref.clause == Clause::WindowPartition || ref.clause == Clause::WindowOrder) {
        note_indirect(s, column.leaves, before, IndirectKind::Window);
      }
    }
    for (const model::NestedQuery& nested : output.subqueries) {
      const std::size_t before = column.leaves.size();
      leaves_of_nested(s, nested, column.leaves);
      if (nested.in_case_condition) note_indirect(s, column.leaves, before, IndirectKind::Conditional);
    }
    if (lateral && output.has_alias) aliased.push_back({&output.name, columns.size()});
    columns.push_back(std::move(column));
  }
  states_[s].columns = std::move(columns);

  std::vector<Leaf> scratch;
  for (const ColumnRef& ref : scope.refs) {
    if (ref.clause == Clause::Select || ref.clause == Clause::TableFunction) continue;
    scratch.clear();
    const bool alias_first = ref.clause == Clause::OrderBy;
    const bool alias_fallback = ref.clause == Clause::GroupBy || ref.clause == Clause::Having;
    leaves_of_ref(s, ref, Usage::Identity, alias_first || alias_fallback, scratch, alias_first);
    note_indirect(s, scratch, 0, ref.in_case_condition && ref.clause == Clause::Select
                                     ? IndirectKind::Conditional
                                     : kind_of_clause(ref.clause));
  }
  for (const model::NestedQuery& nested : scope.subqueries) {
    scratch.clear();
    leaves_of_nested(s, nested, scratch);
    note_indirect(s, scratch, 0, kind_of_clause(nested.clause));
  }
}

// A name in the select list that no FROM item of its scope holds, though each
// says which columns it has, and that an item before it gave as an alias:
// that item's value (a lateral column alias). Without such knowledge the name
// stays a column of the FROM items.
bool Resolver::lateral_alias(ScopeId s, const ColumnRef& ref, const std::vector<AliasedColumn>& aliased,
                             const std::vector<ScopeColumn>& columns, std::vector<Leaf>& out) {
  if (aliased.empty() || ref.ordinal > 0 || ref.is_star || !ref.qualifier.empty()) return false;
  const AliasedColumn* earlier = nullptr;
  for (const AliasedColumn& item : aliased) {
    if (model::same_name(*item.name, ref.name)) earlier = &item;  // the nearest one before
  }
  if (earlier == nullptr) return false;
  const std::size_t bound = std::min(st_.scopes[s].sources.size(), states_[s].bindings.size());
  for (std::size_t i = 0; i < bound; ++i) {
    if (source_holds(s, i, ref.name) != Holds::No) return false;
  }
  for (const Leaf& leaf : columns[earlier->column].leaves) {
    out.push_back({leaf.table, leaf.column, stronger(leaf.usage, ref.usage), leaf.ambiguous});
  }
  return true;
}

void Resolver::note_indirect(ScopeId s, const std::vector<Leaf>& leaves, std::size_t from, IndirectKind kind) {
  auto& indirect = states_[s].indirect;
  qm::make_room(indirect, leaves.size() - from);
  for (std::size_t i = from; i < leaves.size(); ++i) indirect.push_back({leaves[i], kind});
}

void Resolver::leaves_of_nested(ScopeId s, const model::NestedQuery& nested, std::vector<Leaf>& out) {
  if (!valid(nested.scope)) return;
  resolve_scope(nested.scope);
  states_[s].uses.push_back(nested.scope);
  for (const ScopeColumn& column : states_[nested.scope].columns) {
    for (const Leaf& leaf : column.leaves) {
      out.push_back({leaf.table, leaf.column, stronger(leaf.usage, nested.usage), leaf.ambiguous});
    }
  }
}

const model::Cte* Resolver::find_cte(ScopeId s, const Identifier& name) const {
  ScopeId child = kNoScope;
  ScopeId grandchild = kNoScope;
  for (ScopeId p = s; p != kNoScope; grandchild = child, child = p, p = parent_of(p)) {
    const auto& ctes = st_.scopes[p].ctes;
    std::size_t limit = ctes.size();
    if (child != kNoScope && states_[child].cte_owner == p) {
      const auto k = static_cast<std::size_t>(states_[child].cte_index);
      const model::Scope& body = st_.scopes[child];
      const bool recursive_member = body.kind == model::ScopeKind::SetOperation && grandchild != kNoScope &&
                                    !body.members.empty() && grandchild != body.members.front();
      limit = (ctes[k].recursive || recursive_member) ? k + 1 : k;
    }
    for (std::size_t k = limit; k-- > 0;) {
      if (model::same_name(ctes[k].name, name)) return &ctes[k];
    }
  }
  return nullptr;
}

void Resolver::bind_source(ScopeId s, std::size_t i) {
  const model::Source& source = st_.scopes[s].sources[i];
  Binding binding;
  switch (source.kind) {
    case model::SourceKind::Table: {
      const model::Cte* cte = source.table.size() == 1 ? find_cte(s, source.table[0]) : nullptr;
      if (cte != nullptr && valid(cte->scope)) {
        binding.kind = Binding::Kind::Scope;
        binding.scope = cte->scope;
        binding.renames = &cte->columns;
        resolve_scope(cte->scope);  // done already, or busy: a recursive reference
      } else if (!source.table.empty()) {
        binding.table = table_id(source.table);
        binding.known = schema_.find(source.table);
      } else {
        binding.kind = Binding::Kind::Function;  // a nameless table: reads nothing
      }
      break;
    }
    case model::SourceKind::Subquery:
    case model::SourceKind::Values:
      binding.kind = Binding::Kind::Scope;
      binding.scope = valid(source.scope) ? source.scope : kNoScope;
      if (binding.scope != kNoScope) resolve_scope(binding.scope);
      break;
    case model::SourceKind::TableFunction:
      binding.kind = Binding::Kind::Function;
      for (const ColumnRef& ref : source.refs) {
        leaves_of_ref(s, ref, Usage::Transformation, false, binding.function_leaves);
      }
      for (const model::NestedQuery& nested : source.subqueries) {
        leaves_of_nested(s, nested, binding.function_leaves);
      }
      break;
  }
  if (binding.kind == Binding::Kind::Scope && binding.scope != kNoScope) {
    states_[s].uses.push_back(binding.scope);
  }
  if (binding.renames == nullptr && !source.column_aliases.empty()) binding.renames = &source.column_aliases;
  states_[s].bindings.push_back(std::move(binding));
}

std::string_view Resolver::renamed(const Binding& binding, std::size_t position, const ScopeColumn& column, bool& quoted) {
  if (binding.renames != nullptr && position < binding.renames->size()) {
    quoted = (*binding.renames)[position].quoted;
    return (*binding.renames)[position].text;
  }
  quoted = column.quoted;
  return column.name;
}

void Resolver::expand_star(ScopeId s, const model::OutputColumn& output, std::vector<ScopeColumn>& columns) {
  const model::Scope& scope = st_.scopes[s];
  bool matched = false;
  for (int pass = 0; pass < 2 && !matched; ++pass) {
    for (std::size_t i = 0; i < scope.sources.size(); ++i) {
      if (!output.star_qualifier.empty() && !qualifier_matches(scope.sources[i], output.star_qualifier, pass == 1)) {
        continue;
      }
      matched = true;
      expand_source(s, i, output.star_except, columns);
    }
  }
  if (!matched && !output.star_qualifier.empty()) {
    problem("no FROM item is named " + model::joined(output.star_qualifier, output.star_qualifier.size()) +
            " for its star");
  }
}

bool Resolver::excepted(const std::vector<Identifier>& except, std::string_view name) {
  return std::any_of(except.begin(), except.end(),
                     [&](const Identifier& id) { return model::same_name(id, name); });
}

void Resolver::expand_source(ScopeId s, std::size_t i, const std::vector<Identifier>& except, std::vector<ScopeColumn>& columns) {
  const Binding& binding = states_[s].bindings[i];
  const model::Source& source = st_.scopes[s].sources[i];
  switch (binding.kind) {
    case Binding::Kind::Table: {
      if (const auto* known = binding.known) {
        for (const std::string& name : *known) {
          if (excepted(except, name)) continue;
          ScopeColumn column;
          column.name = name;
          column.leaves.push_back({binding.table, name, Usage::Identity, false});
          columns.push_back(std::move(column));
        }
      } else {
        ScopeColumn column;
        column.name = kStar;
        column.open_table = binding.table;
        column.leaves.push_back({binding.table, kStar, Usage::Identity, false});
        columns.push_back(std::move(column));
        states_[s].has_open = true;
      }
      break;
    }
    case Binding::Kind::Scope: {
      if (binding.scope == kNoScope) break;
      const auto& inner = states_[binding.scope].columns;
      for (std::size_t k = 0; k < inner.size(); ++k) {
        ScopeColumn column = inner[k];
        column.name = renamed(binding, k, inner[k], column.quoted);
        if (column.open_table < 0 && excepted(except, column.name)) continue;
        if (column.open_table >= 0) states_[s].has_open = true;
        columns.push_back(std::move(column));
      }
      break;
    }
    case Binding::Kind::Function: {
      const auto& names = source.column_aliases;
      if (names.empty() && !source.alias.empty()) {
        columns.push_back({source.alias.text, source.alias.quoted, binding.function_leaves, -1});
      }
      for (const Identifier& name : names) {
        columns.push_back({name.text, name.quoted, binding.function_leaves, -1});
      }
      break;
    }
  }
}

}  // namespace lineage::resolve::detail

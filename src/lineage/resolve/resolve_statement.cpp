// Resolution of a statement's scopes, children first, each scope's outputs once.
#include "lineage/resolve/resolve_statement.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "common/error.hpp"
#include "lineage/model/names.hpp"

namespace lineage::resolve {
namespace {

using model::Clause;
using model::ColumnRef;
using model::Identifier;
using model::ScopeId;
using model::Usage;
using model::kNoScope;

constexpr std::string_view kStar = "*";
// Beyond this many nested scopes the statement is refused as too deep, whatever
// the stack: no real query comes near it.
constexpr int kMaxDepth = 4000;

// A table column reached from some output or clause. `column` points into the
// statement, the schema or kStar, all of which outlive the resolution.
struct Leaf {
  std::int32_t table;
  std::string_view column;
  Usage usage;
  bool ambiguous;
};

// One output column of a resolved scope. A star over a table whose columns are
// unknown stays one open column: any name asked of it comes from that table.
struct ScopeColumn {
  std::string_view name;
  bool quoted = false;
  std::vector<Leaf> leaves;
  std::int32_t open_table = -1;
};

struct IndirectLeaf {
  Leaf leaf;
  IndirectKind kind;
};

// What a FROM item stands for once its name is looked up.
struct Binding {
  enum class Kind : std::uint8_t { Table, Scope, Function };
  Kind kind = Kind::Table;
  std::int32_t table = -1;
  ScopeId scope = kNoScope;
  const std::vector<Identifier>* renames = nullptr;  // CTE column list / AS t (a, b)
  std::vector<Leaf> function_leaves;                 // what a table function reads
  const std::vector<std::string>* known = nullptr;   // Table: its columns, when the schema has them
  // Folded column name -> position, made on the first lookup in a wide scope.
  std::unordered_map<std::string, std::size_t> positions;
};

constexpr std::size_t kIndexedWidth = 16;

struct ScopeState {
  enum class Phase : std::uint8_t { Fresh, Busy, Done };
  Phase phase = Phase::Fresh;
  std::vector<ScopeColumn> columns;
  std::vector<Binding> bindings;
  std::vector<IndirectLeaf> indirect;
  std::vector<ScopeId> uses;  // scopes whose rows this one reads
  bool has_open = false;
};

Usage stronger(Usage a, Usage b) { return a > b ? a : b; }

IndirectKind kind_of_clause(Clause clause) {
  switch (clause) {
    case Clause::JoinOn: return IndirectKind::Join;
    case Clause::GroupBy: return IndirectKind::GroupBy;
    case Clause::OrderBy: return IndirectKind::Sort;
    case Clause::WindowPartition:
    case Clause::WindowOrder: return IndirectKind::Window;
    default: return IndirectKind::Filter;
  }
}

// Same column of the same table: the fold of unquoted names is the best the
// leaves can tell, as they no longer know how the name was written.
bool same_column(const Leaf& a, const Leaf& b) {
  return a.table == b.table && model::equal_folded(a.column, b.column);
}

class Resolver {
 public:
  Resolver(const model::Statement& statement, model::Schema& schema)
      : st_(statement), schema_(schema), states_(statement.scopes.size()),
        cte_index_(statement.scopes.size(), -1), cte_owner_(statement.scopes.size(), kNoScope) {
    const auto count = static_cast<ScopeId>(st_.scopes.size());
    for (ScopeId s = 0; s < count; ++s) {
      const auto& ctes = st_.scopes[s].ctes;
      for (std::size_t k = 0; k < ctes.size(); ++k) {
        const ScopeId body = ctes[k].scope;
        if (valid(body) && cte_owner_[body] == kNoScope) {
          cte_owner_[body] = s;
          cte_index_[body] = static_cast<int>(k);
        }
      }
    }
  }

  StatementLineage run() {
    if (valid(st_.root)) {
      resolve_scope(st_.root);
      emit_columns(states_[st_.root].columns);
      emit_indirect();
    }
    return std::move(out_);
  }

 private:
  bool valid(ScopeId s) const { return s >= 0 && static_cast<std::size_t>(s) < st_.scopes.size(); }

  // The enclosing scope; a parent that does not come before its child would
  // make a cycle, and is ignored.
  ScopeId parent_of(ScopeId s) const {
    const ScopeId p = st_.scopes[s].parent;
    return (p >= 0 && p < s) ? p : kNoScope;
  }

  void problem(std::string message) {
    if (out_.problems.size() < 100) out_.problems.push_back(std::move(message));
  }

  std::int32_t table_id(const model::QualifiedName& name) {
    std::string key = model::Schema::key_for(name, name.size());
    auto found = table_ids_.find(key);
    if (found != table_ids_.end()) return found->second;
    TableName table;
    table.has_database = name.size() > 1;
    table.database = model::joined(name, name.size() - 1);
    table.table = name.back().text;
    out_.tables.push_back(std::move(table));
    const auto id = static_cast<std::int32_t>(out_.tables.size() - 1);
    table_ids_.emplace(std::move(key), id);
    return id;
  }

  // ---- scopes ---------------------------------------------------------------

  void resolve_scope(ScopeId s) {
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

  void resolve_set_operation(ScopeId s) {
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

  void resolve_select(ScopeId s) {
    const model::Scope& scope = st_.scopes[s];
    // Bound in order: a LATERAL item may read the items before it, never those after.
    states_[s].bindings.reserve(scope.sources.size());
    for (std::size_t i = 0; i < scope.sources.size(); ++i) bind_source(s, i);

    std::vector<ScopeColumn> columns;
    columns.reserve(scope.outputs.size());
    for (const model::OutputColumn& output : scope.outputs) {
      if (output.kind == model::OutputColumn::Kind::Star) {
        expand_star(s, output, columns);
        continue;
      }
      ScopeColumn column;
      column.name = output.name.text;
      column.quoted = output.name.quoted;
      for (const ColumnRef& ref : output.refs) {
        const std::size_t before = column.leaves.size();
        leaves_of_ref(s, ref, ref.usage, false, column.leaves);
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

  void note_indirect(ScopeId s, const std::vector<Leaf>& leaves, std::size_t from, IndirectKind kind) {
    auto& indirect = states_[s].indirect;
    for (std::size_t i = from; i < leaves.size(); ++i) indirect.push_back({leaves[i], kind});
  }

  void leaves_of_nested(ScopeId s, const model::NestedQuery& nested, std::vector<Leaf>& out) {
    if (!valid(nested.scope)) return;
    resolve_scope(nested.scope);
    states_[s].uses.push_back(nested.scope);
    for (const ScopeColumn& column : states_[nested.scope].columns) {
      for (const Leaf& leaf : column.leaves) {
        out.push_back({leaf.table, leaf.column, stronger(leaf.usage, nested.usage), leaf.ambiguous});
      }
    }
  }

  // ---- FROM items -----------------------------------------------------------

  // The CTE a one-part table name refers to from scope `s`, if any: the
  // nearest WITH that declares it, where a CTE sees only the CTEs before it.
  // It sees itself when declared recursive, or from a later member of a set
  // operation (the recursive member; the first one, the anchor, reads a table
  // of that name) for parsers that do not keep the RECURSIVE keyword.
  const model::Cte* find_cte(ScopeId s, const Identifier& name) const {
    ScopeId child = kNoScope;
    ScopeId grandchild = kNoScope;
    for (ScopeId p = s; p != kNoScope; grandchild = child, child = p, p = parent_of(p)) {
      const auto& ctes = st_.scopes[p].ctes;
      std::size_t limit = ctes.size();
      if (child != kNoScope && cte_owner_[child] == p) {
        const auto k = static_cast<std::size_t>(cte_index_[child]);
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

  void bind_source(ScopeId s, std::size_t i) {
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

  // The columns a scope-backed binding offers, renamed by a column list.
  static std::string_view renamed(const Binding& binding, std::size_t position, const ScopeColumn& column,
                                  bool& quoted) {
    if (binding.renames != nullptr && position < binding.renames->size()) {
      quoted = (*binding.renames)[position].quoted;
      return (*binding.renames)[position].text;
    }
    quoted = column.quoted;
    return column.name;
  }

  void expand_star(ScopeId s, const model::OutputColumn& output, std::vector<ScopeColumn>& columns) {
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

  static bool excepted(const std::vector<Identifier>& except, std::string_view name) {
    return std::any_of(except.begin(), except.end(),
                       [&](const Identifier& id) { return model::same_name(id, name); });
  }

  void expand_source(ScopeId s, std::size_t i, const std::vector<Identifier>& except,
                     std::vector<ScopeColumn>& columns) {
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

  // ---- column references ----------------------------------------------------

  // `by_table_name`: the table's own name even behind an alias, which some
  // dialects accept and which is the only reading left when no alias matches.
  static bool qualifier_matches(const model::Source& source, const model::QualifiedName& qualifier,
                                bool by_table_name = false) {
    if (!source.alias.empty() && !by_table_name) {
      return qualifier.size() == 1 && model::same_name(source.alias, qualifier[0]);
    }
    const auto& name = source.table;
    if (source.kind != model::SourceKind::Table || qualifier.size() > name.size()) return false;
    const std::size_t offset = name.size() - qualifier.size();
    for (std::size_t k = 0; k < qualifier.size(); ++k) {
      if (!model::same_name(name[offset + k], qualifier[k])) return false;
    }
    return true;
  }

  enum class Holds : std::uint8_t { No, Yes, Unknown };

  Holds source_holds(ScopeId s, std::size_t i, const Identifier& name) {
    Binding& binding = states_[s].bindings[i];
    const model::Source& source = st_.scopes[s].sources[i];
    switch (binding.kind) {
      case Binding::Kind::Table: {
        const auto* known = binding.known;
        if (known == nullptr) return Holds::Unknown;
        for (const std::string& column : *known) {
          if (model::same_name(name, column)) return Holds::Yes;
        }
        return Holds::No;
      }
      case Binding::Kind::Scope: {
        if (binding.scope == kNoScope) return Holds::No;
        const ScopeState& inner = states_[binding.scope];
        if (find_column(binding, inner.columns, name) != nullptr) return Holds::Yes;
        return inner.has_open || inner.phase != ScopeState::Phase::Done ? Holds::Unknown : Holds::No;
      }
      case Binding::Kind::Function: {
        if (source.column_aliases.empty()) {
          return model::same_name(source.alias, name.text) || source.alias.empty() ? Holds::Unknown : Holds::No;
        }
        for (const Identifier& alias : source.column_aliases) {
          if (model::same_name(alias, name.text)) return Holds::Yes;
        }
        return Holds::No;
      }
    }
    return Holds::No;
  }

  static bool column_named(const Binding& binding, const std::vector<ScopeColumn>& columns, std::size_t k,
                           const Identifier& name) {
    if (columns[k].open_table >= 0) return false;
    bool quoted = false;
    const std::string_view column_name = renamed(binding, k, columns[k], quoted);
    return (quoted || name.quoted) ? column_name == name.text : model::equal_folded(column_name, name.text);
  }

  // The column of a scope-backed FROM item with that name; wide scopes get an
  // index so that reading all of their columns stays linear.
  static const ScopeColumn* find_column(Binding& binding, const std::vector<ScopeColumn>& columns,
                                        const Identifier& name) {
    if (columns.size() <= kIndexedWidth) {
      for (std::size_t k = 0; k < columns.size(); ++k) {
        if (column_named(binding, columns, k, name)) return &columns[k];
      }
      return nullptr;
    }
    if (binding.positions.empty()) {
      for (std::size_t k = columns.size(); k-- > 0;) {
        bool quoted = false;
        binding.positions[model::folded(renamed(binding, k, columns[k], quoted))] = k;
      }
    }
    auto it = binding.positions.find(model::folded(name.text));
    if (it == binding.positions.end() || !column_named(binding, columns, it->second, name)) return nullptr;
    return &columns[it->second];
  }

  // Appends what `name` read through FROM item i of scope s gives.
  void column_of_source(ScopeId s, std::size_t i, const ColumnRef& ref, Usage usage, bool ambiguous,
                        std::vector<Leaf>& out) {
    Binding& binding = states_[s].bindings[i];
    switch (binding.kind) {
      case Binding::Kind::Table:
        out.push_back({binding.table, ref.is_star ? kStar : std::string_view(ref.name.text), usage, ambiguous});
        return;
      case Binding::Kind::Function:
        for (const Leaf& leaf : binding.function_leaves) {
          out.push_back({leaf.table, leaf.column, stronger(leaf.usage, usage), leaf.ambiguous || ambiguous});
        }
        return;
      case Binding::Kind::Scope: {
        if (binding.scope == kNoScope) return;
        const auto& columns = states_[binding.scope].columns;
        const ScopeColumn* column = ref.is_star ? nullptr : find_column(binding, columns, ref.name);
        if (column != nullptr) {
          for (const Leaf& leaf : column->leaves) {
            out.push_back({leaf.table, leaf.column, stronger(leaf.usage, usage), leaf.ambiguous || ambiguous});
          }
          return;
        }
        // An open star of the inner scope may hold it: one table's, or each of several.
        std::size_t open = 0;
        for (const ScopeColumn& c : columns) open += c.open_table >= 0;
        for (const ScopeColumn& c : columns) {
          if (c.open_table < 0) continue;
          out.push_back({c.open_table, ref.is_star ? kStar : std::string_view(ref.name.text), usage,
                         ambiguous || open > 1});
        }
        if (open == 0 && !ref.is_star && states_[binding.scope].phase == ScopeState::Phase::Done) {
          problem("column " + ref.name.text + " is not among the columns of " + source_label(s, i));
        }
        return;
      }
    }
  }

  std::string source_label(ScopeId s, std::size_t i) const {
    const model::Source& source = st_.scopes[s].sources[i];
    if (!source.alias.empty()) return source.alias.text;
    if (!source.table.empty()) return model::joined(source.table, source.table.size());
    return "a sub-query";
  }

  // `alias_first`: ORDER BY, where an output name wins over a FROM column.
  // `alias_allowed`: GROUP BY / HAVING / ORDER BY may name an output.
  void leaves_of_ref(ScopeId s, const ColumnRef& ref, Usage usage, bool alias_allowed, std::vector<Leaf>& out,
                     bool alias_first = false) {
    if (ref.ordinal > 0) {
      const auto& columns = states_[s].columns;
      if (ref.ordinal > columns.size()) {
        problem("position " + std::to_string(ref.ordinal) + " is beyond the select list");
        return;
      }
      for (const Leaf& leaf : columns[ref.ordinal - 1].leaves) {
        out.push_back({leaf.table, leaf.column, stronger(leaf.usage, usage), leaf.ambiguous});
      }
      return;
    }
    if (!ref.qualifier.empty()) {
      for (ScopeId c = s; c != kNoScope; c = parent_of(c)) {
        const auto& sources = st_.scopes[c].sources;
        const std::size_t bound = std::min(sources.size(), states_[c].bindings.size());
        for (int pass = 0; pass < 2; ++pass) {
          for (std::size_t i = 0; i < bound; ++i) {
            if (qualifier_matches(sources[i], ref.qualifier, pass == 1)) {
              column_of_source(c, i, ref, usage, false, out);
              return;
            }
          }
        }
      }
      // Not a FROM item in sight: take the qualifier as a table name.
      problem("no FROM item is named " + model::joined(ref.qualifier, ref.qualifier.size()) + " (column " +
              ref.name.text + ")");
      out.push_back({table_id(ref.qualifier), ref.is_star ? kStar : std::string_view(ref.name.text), usage, true});
      return;
    }
    if (alias_allowed && alias_first && output_alias(s, ref, usage, out)) return;
    if (ref.is_star) {
      const auto& sources = st_.scopes[s].sources;
      for (std::size_t i = 0; i < std::min(sources.size(), states_[s].bindings.size()); ++i) {
        if (states_[s].bindings[i].kind == Binding::Kind::Table) column_of_source(s, i, ref, usage, false, out);
      }
      return;
    }
    std::vector<std::size_t> yes, unknown;
    ScopeId fallback = kNoScope;  // the nearest scope with a single FROM item
    for (ScopeId c = s; c != kNoScope; c = parent_of(c)) {
      const std::size_t bound = std::min(st_.scopes[c].sources.size(), states_[c].bindings.size());
      yes.clear();
      unknown.clear();
      for (std::size_t i = 0; i < bound; ++i) {
        switch (source_holds(c, i, ref.name)) {
          case Holds::Yes: yes.push_back(i); break;
          case Holds::Unknown: unknown.push_back(i); break;
          case Holds::No: break;
        }
      }
      if (c == s && alias_allowed && yes.empty() && output_alias(s, ref, usage, out)) return;
      const std::vector<std::size_t>& pick = yes.empty() ? unknown : yes;
      if (pick.size() == 1) {
        column_of_source(c, pick[0], ref, usage, false, out);
        return;
      }
      if (pick.size() > 1) {
        std::string names;
        for (std::size_t i : pick) {
          column_of_source(c, i, ref, usage, true, out);
          names += names.empty() ? "" : ", ";
          names += source_label(c, i);
        }
        problem("column " + ref.name.text + " is ambiguous between " + names);
        return;
      }
      if (fallback == kNoScope && bound == 1) fallback = c;
    }
    // Known everywhere and found nowhere: the single FROM item of the nearest
    // scope that has one is the best guess.
    if (fallback != kNoScope) {
      column_of_source(fallback, 0, ref, usage, true, out);
      return;
    }
    problem("column " + ref.name.text + " is not found in any FROM item");
  }

  // An output of scope s named like the reference.
  bool output_alias(ScopeId s, const ColumnRef& ref, Usage usage, std::vector<Leaf>& out) {
    const model::Scope& scope = st_.scopes[s];
    const auto& columns = states_[s].columns;
    for (std::size_t k = 0; k < scope.outputs.size() && k < columns.size(); ++k) {
      const model::OutputColumn& output = scope.outputs[k];
      if (output.kind != model::OutputColumn::Kind::Expression || !output.has_alias) continue;
      if (!model::same_name(output.name, ref.name)) continue;
      for (const Leaf& leaf : columns[k].leaves) {
        out.push_back({leaf.table, leaf.column, stronger(leaf.usage, usage), leaf.ambiguous});
      }
      return true;
    }
    return false;
  }

  // ---- results --------------------------------------------------------------

  // One leaf per table column: the strongest usage, ambiguous only if every
  // path to it was. Order of first appearance is kept.
  static void merge_duplicates(std::vector<Leaf>& leaves) {
    std::vector<Leaf> unique;
    unique.reserve(leaves.size());
    std::unordered_map<std::string, std::size_t> seen;
    const bool indexed = leaves.size() > kIndexedWidth;
    for (const Leaf& leaf : leaves) {
      auto same = unique.end();
      if (indexed) {
        auto [it, added] = seen.emplace(std::to_string(leaf.table) + '.' + model::folded(leaf.column), unique.size());
        if (!added) same = unique.begin() + static_cast<std::ptrdiff_t>(it->second);
      } else {
        same = std::find_if(unique.begin(), unique.end(), [&](const Leaf& u) { return same_column(u, leaf); });
      }
      if (same == unique.end()) {
        unique.push_back(leaf);
      } else {
        same->usage = stronger(same->usage, leaf.usage);
        same->ambiguous = same->ambiguous && leaf.ambiguous;
      }
    }
    leaves.swap(unique);
  }

  // A MERGE assigns a column in several WHEN branches: one output per column
  // written, fed by all of them.
  void merge_repeated_outputs(std::vector<ScopeColumn>& columns) const {
    if (st_.kind != model::StatementKind::Merge) return;
    std::vector<ScopeColumn> merged;
    std::unordered_map<std::string, std::size_t> position;
    for (ScopeColumn& column : columns) {
      auto [it, added] = position.emplace(model::folded(column.name), merged.size());
      if (added) {
        merged.push_back(std::move(column));
      } else {
        auto& leaves = merged[it->second].leaves;
        leaves.insert(leaves.end(), column.leaves.begin(), column.leaves.end());
      }
    }
    columns.swap(merged);
  }

  void emit_columns(std::vector<ScopeColumn>& columns) {
    merge_repeated_outputs(columns);
    const auto& targets = st_.target_columns;
    out_.columns.reserve(columns.size());
    for (std::size_t k = 0; k < columns.size(); ++k) {
      ScopeColumn& column = columns[k];
      OutputLineage output;
      output.name = (k < targets.size() && column.open_table < 0) ? targets[k].text : std::string(column.name);
      if (column.leaves.size() > 1) merge_duplicates(column.leaves);
      output.sources.reserve(column.leaves.size());
      for (const Leaf& leaf : column.leaves) {
        output.sources.push_back({leaf.table, std::string(leaf.column), leaf.usage, leaf.ambiguous});
      }
      out_.columns.push_back(std::move(output));
    }
  }

  // Indirect lineage of every scope the root reads, each scope once.
  void emit_indirect() {
    std::vector<bool> seen(st_.scopes.size(), false);
    std::vector<ScopeId> stack{st_.root};
    seen[st_.root] = true;
    std::vector<IndirectLeaf> all;
    while (!stack.empty()) {
      const ScopeId s = stack.back();
      stack.pop_back();
      const ScopeState& state = states_[s];
      all.insert(all.end(), state.indirect.begin(), state.indirect.end());
      for (ScopeId used : state.uses) {
        if (!seen[used]) {
          seen[used] = true;
          stack.push_back(used);
        }
      }
    }
    std::unordered_map<std::string, std::size_t> index;
    for (const IndirectLeaf& item : all) {
      std::string key = std::to_string(item.leaf.table) + '\x1f' + std::to_string(static_cast<int>(item.kind)) +
                        '\x1f' + model::folded(item.leaf.column);
      auto [it, added] = index.emplace(std::move(key), out_.indirect.size());
      if (added) {
        out_.indirect.push_back({item.leaf.table, std::string(item.leaf.column), item.kind, item.leaf.ambiguous});
      } else {
        IndirectColumn& kept = out_.indirect[it->second];
        kept.ambiguous = kept.ambiguous && item.leaf.ambiguous;
      }
    }
  }

  const model::Statement& st_;
  model::Schema& schema_;
  std::vector<ScopeState> states_;
  std::vector<int> cte_index_;
  std::vector<ScopeId> cte_owner_;
  std::unordered_map<std::string, std::int32_t> table_ids_;
  StatementLineage out_;
  int depth_ = 0;
};

}  // namespace

StatementLineage resolve_statement(const model::Statement& statement, model::Schema& schema) {
  return Resolver(statement, schema).run();
}

void remember_written_table(const model::Statement& statement, const StatementLineage& lineage,
                            model::Schema& schema) {
  using model::StatementKind;
  const bool writes = statement.kind == StatementKind::CreateTable || statement.kind == StatementKind::CreateView ||
                      ((statement.kind == StatementKind::Insert || statement.kind == StatementKind::InsertOverwrite) &&
                       !statement.target_columns.empty());
  if (!writes || statement.target.empty()) return;
  std::vector<std::string> columns;
  for (const OutputLineage& column : lineage.columns) {
    if (column.name == kStar) return;  // not all columns known
    columns.push_back(column.name);
  }
  if (statement.kind == StatementKind::Insert || statement.kind == StatementKind::InsertOverwrite) {
    if (schema.find(statement.target) != nullptr) return;  // an INSERT does not redefine a table
  }
  schema.add(statement.target, std::move(columns));
}

}  // namespace lineage::resolve

// Resolution's working state: one Resolver per statement, each scope's outputs
// resolved once (resolver_scopes.cpp), names looked up through the FROM items in
// sight (resolver_names.cpp), the results gathered at the end (resolver_results.cpp).
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "lineage/model/names.hpp"
#include "lineage/resolve/resolve_statement.hpp"

namespace lineage::resolve::detail {

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
  bool reached = false;  // by the walk that gathers the statement's indirect columns
  // A CTE's body: the scope whose WITH defines it (kNoScope otherwise), and its place there.
  ScopeId cte_owner = kNoScope;
  int cte_index = -1;
};

// A select-list item with an alias, and its place among the scope's columns.
struct AliasedColumn {
  const Identifier* name;
  std::size_t column;
};

inline Usage stronger(Usage a, Usage b) { return a > b ? a : b; }

inline IndirectKind kind_of_clause(Clause clause) {
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
inline bool same_column(const Leaf& a, const Leaf& b) {
  return a.table == b.table && model::equal_folded(a.column, b.column);
}

class Resolver {
 public:
  Resolver(const model::Statement& statement, model::Schema& schema)
      : st_(statement), schema_(schema), states_(statement.scopes.size()) {
    const auto count = static_cast<ScopeId>(st_.scopes.size());
    for (ScopeId s = 0; s < count; ++s) {
      const auto& ctes = st_.scopes[s].ctes;
      for (std::size_t k = 0; k < ctes.size(); ++k) {
        const ScopeId body = ctes[k].scope;
        if (valid(body) && states_[body].cte_owner == kNoScope) {
          states_[body].cte_owner = s;
          states_[body].cte_index = static_cast<int>(k);
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
  enum class Holds : std::uint8_t { No, Yes, Unknown };

  bool valid(ScopeId s) const { return s >= 0 && static_cast<std::size_t>(s) < st_.scopes.size(); }
  // The enclosing scope; a parent that does not come before its child would
  // make a cycle, and is ignored.
  ScopeId parent_of(ScopeId s) const;
  void problem(std::string message);
  std::int32_t table_id(const model::QualifiedName& name);

  // ---- scopes ---------------------------------------------------------------
  void resolve_scope(ScopeId s);
  void resolve_set_operation(ScopeId s);
  void resolve_select(ScopeId s);
  bool lateral_alias(ScopeId s, const ColumnRef& ref, const std::vector<AliasedColumn>& aliased,
                     const std::vector<ScopeColumn>& columns, std::vector<Leaf>& out);
  void note_indirect(ScopeId s, const std::vector<Leaf>& leaves, std::size_t from, IndirectKind kind);
  void leaves_of_nested(ScopeId s, const model::NestedQuery& nested, std::vector<Leaf>& out);

  // ---- FROM items -----------------------------------------------------------
  // The CTE a one-part table name refers to from scope `s`, if any: the
  // nearest WITH that declares it, where a CTE sees only the CTEs before it.
  // It sees itself when declared recursive, or from a later member of a set
  // operation (the recursive member; the first one, the anchor, reads a table
  // of that name) for parsers that do not keep the RECURSIVE keyword.
  const model::Cte* find_cte(ScopeId s, const Identifier& name) const;
  void bind_source(ScopeId s, std::size_t i);
  // The columns a scope-backed binding offers, renamed by a column list.
  static std::string_view renamed(const Binding& binding, std::size_t position, const ScopeColumn& column,
                                  bool& quoted);
  void expand_star(ScopeId s, const model::OutputColumn& output, std::vector<ScopeColumn>& columns);
  static bool excepted(const std::vector<Identifier>& except, std::string_view name);
  void expand_source(ScopeId s, std::size_t i, const std::vector<Identifier>& except,
                     std::vector<ScopeColumn>& columns);

  // ---- column references ----------------------------------------------------
  // `by_table_name`: the table's own name even behind an alias, which some
  // dialects accept and which is the only reading left when no alias matches.
  static bool qualifier_matches(const model::Source& source, const model::QualifiedName& qualifier,
                                bool by_table_name = false);
  Holds source_holds(ScopeId s, std::size_t i, const Identifier& name);
  static bool column_named(const Binding& binding, const std::vector<ScopeColumn>& columns, std::size_t k,
                           const Identifier& name);
  // The column of a scope-backed FROM item with that name; wide scopes get an
  // index so that reading all of their columns stays linear.
  static const ScopeColumn* find_column(Binding& binding, const std::vector<ScopeColumn>& columns,
                                        const Identifier& name);
  // Appends what `name` read through FROM item i of scope s gives.
  void column_of_source(ScopeId s, std::size_t i, const ColumnRef& ref, Usage usage, bool ambiguous,
                        std::vector<Leaf>& out);
  std::string source_label(ScopeId s, std::size_t i) const;
  // `alias_first`: ORDER BY, where an output name wins over a FROM column.
  // `alias_allowed`: GROUP BY / HAVING / ORDER BY may name an output.
  void leaves_of_ref(ScopeId s, const ColumnRef& ref, Usage usage, bool alias_allowed, std::vector<Leaf>& out,
                     bool alias_first = false);
  // An output of scope s named like the reference.
  bool output_alias(ScopeId s, const ColumnRef& ref, Usage usage, std::vector<Leaf>& out);

  // ---- results --------------------------------------------------------------
  // One leaf per table column: the strongest usage, ambiguous only if every
  // path to it was. Order of first appearance is kept.
  static void merge_duplicates(std::vector<Leaf>& leaves);
  // A MERGE assigns a column in several WHEN branches: one output per column
  // written, fed by all of them.
  void merge_repeated_outputs(std::vector<ScopeColumn>& columns) const;
  void emit_columns(std::vector<ScopeColumn>& columns);
  // Indirect lineage of every scope the root reads, each scope once.
  void emit_indirect();

  const model::Statement& st_;
  model::Schema& schema_;
  std::vector<ScopeState> states_;
  std::vector<std::string> table_keys_;  // by table id
  std::unordered_map<std::string, std::int32_t> table_ids_;  // built once there are many
  StatementLineage out_;
  int depth_ = 0;
};

}  // namespace lineage::resolve::detail

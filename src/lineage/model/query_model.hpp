// The query model: what a statement reads and writes, independent of any parser.
//
// Front-ends (the moz tree adapter, our own parser) fill it; resolution reads it.
// Plain data only: no Python objects, scopes live in one arena per statement and
// refer to each other by index, so a model can be built, moved and resolved
// without the interpreter lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lineage::model {

using ScopeId = std::int32_t;  // index into Statement::scopes
inline constexpr ScopeId kNoScope = -1;

// One name part as written. `quoted` parts keep their case; unquoted ones are
// compared case-insensitively (ASCII folding).
struct Identifier {
  std::string text;
  bool quoted = false;

  bool empty() const noexcept { return text.empty(); }
};

// A dotted name: {"db", "schema", "orders"} or {"orders"}.
using QualifiedName = std::vector<Identifier>;

// Where a column reference sits. Select covers the select list (and UPDATE SET /
// MERGE assignment values); every other clause decides which rows exist or
// their order and so is indirect lineage.
enum class Clause : std::uint8_t {
  Select,
  JoinOn,           // JOIN ... ON / USING, MERGE ... ON
  Where,            // WHERE, MERGE WHEN ... AND <condition>
  GroupBy,
  Having,
  Qualify,
  OrderBy,          // ORDER BY of the query
  WindowPartition,  // PARTITION BY of a window
  WindowOrder,      // ORDER BY of a window
  TableFunction,    // arguments of a table function / LATERAL VIEW / UNNEST
};

// How a reference contributes to the value of the expression it sits in.
enum class Usage : std::uint8_t {
  Identity,        // the whole expression is this column (renamed or not)
  Transformation,  // inside an expression: arithmetic, function, CASE, CAST ...
  Aggregation,     // inside an aggregate function (sum, count, array_agg ...)
};

struct Position {
  std::uint32_t line = 0;    // 1-based; 0 when the front-end does not know
  std::uint32_t column = 0;  // 1-based, in characters
};

struct ColumnRef {
  QualifiedName qualifier;  // empty when unqualified: {"t"}, {"db", "t"}
  Identifier name;          // the column; "*" with is_star for count(*) / t.*
  Clause clause = Clause::Select;
  Usage usage = Usage::Identity;
  bool in_case_condition = false;  // inside a CASE WHEN condition (or IF/IIF test)
  bool is_star = false;            // count(*) and the like: reads rows, no column
  Position at;
  // GROUP BY 2 / ORDER BY 1: the 1-based position in the select list it names
  // (name left empty); 0 for an ordinary reference.
  std::uint32_t ordinal = 0;
};

// A sub-query inside an expression (scalar sub-query, EXISTS, IN (...), ANY ...).
struct NestedQuery {
  ScopeId scope = kNoScope;
  Clause clause = Clause::Select;
  Usage usage = Usage::Transformation;  // how its output feeds the enclosing expression
  bool in_case_condition = false;
};

// One item of a select list (or of UPDATE SET / MERGE / INSERT VALUES, see Statement).
struct OutputColumn {
  enum class Kind : std::uint8_t { Expression, Star };
  Kind kind = Kind::Expression;
  // The output name: the alias, else a bare column's own name, else the
  // front-end's generated name (see has_alias / derived_name).
  Identifier name;
  bool has_alias = false;
  bool derived_name = false;  // no alias and not a bare column: the name is made up
  QualifiedName star_qualifier;         // Star: {"t"} for t.*, empty for *
  std::vector<Identifier> star_except;  // Star: * EXCEPT (a, b) / EXCLUDE
  std::vector<ColumnRef> refs;          // every column the expression reads
  std::vector<NestedQuery> subqueries;  // scalar sub-queries the expression reads
  std::string text;  // the expression as written, possibly shortened; may be empty
  Position at;
};

enum class SourceKind : std::uint8_t {
  Table,          // a named table or view, or a CTE name (decided by resolution)
  Subquery,       // ( query ) alias
  Values,         // ( VALUES ... ) alias: a scope of kind Values
  TableFunction,  // generate_series(...), UNNEST(arr), LATERAL VIEW explode(...)
};

enum class JoinKind : std::uint8_t { None, Inner, Left, Right, Full, Cross, Comma, Lateral };

struct Source {
  SourceKind kind = SourceKind::Table;
  QualifiedName table;   // Table: the name as written; TableFunction: the function name
  Identifier alias;      // empty when there is none
  std::vector<Identifier> column_aliases;  // AS t (a, b, c)
  ScopeId scope = kNoScope;                // Subquery / Values body
  // TableFunction: what the arguments read (clause TableFunction). The function's
  // output columns (column_aliases, or the alias itself for a one-column
  // function) are fed by all of them.
  std::vector<ColumnRef> refs;
  std::vector<NestedQuery> subqueries;
  JoinKind join = JoinKind::None;  // how it joins the sources before it
  Position at;
};

struct Cte {
  Identifier name;
  std::vector<Identifier> columns;  // WITH x (a, b) AS (...)
  ScopeId scope = kNoScope;
  bool recursive = false;  // declared under WITH RECURSIVE
};

enum class ScopeKind : std::uint8_t {
  Select,        // SELECT ... FROM ... (also the row source of UPDATE / MERGE)
  SetOperation,  // members combined by UNION / INTERSECT / EXCEPT
  Values,        // VALUES (...), (...): outputs named column1, column2 ... or by aliases
};

enum class SetOperator : std::uint8_t { None, Union, UnionAll, Intersect, Except };

struct Scope {
  ScopeKind kind = ScopeKind::Select;
  ScopeId parent = kNoScope;  // the lexically enclosing scope: CTE lookup, correlated columns
  std::vector<Cte> ctes;      // this scope's WITH, in order; visible to it and its children
  std::vector<Source> sources;        // FROM items and joins, in order
  std::vector<OutputColumn> outputs;  // select list in order (Values: one per column)
  // References outside the select list: ON, WHERE, GROUP BY, HAVING, QUALIFY,
  // ORDER BY, window clauses. An unqualified name in GROUP BY / ORDER BY / HAVING
  // may name an output (resolution decides).
  std::vector<ColumnRef> refs;
  std::vector<NestedQuery> subqueries;  // sub-queries in those clauses (EXISTS, IN ...)
  // SetOperation: the members in order (each a Select, Values or SetOperation
  // scope), and operators[i] between members[i] and members[i + 1].
  std::vector<ScopeId> members;
  std::vector<SetOperator> operators;
  bool distinct = false;
  Position at;
};

enum class StatementKind : std::uint8_t {
  Select,
  Insert,           // INSERT INTO t [(cols)] query / VALUES
  InsertOverwrite,  // INSERT OVERWRITE [TABLE] t ...
  CreateTable,      // CREATE TABLE ... AS query
  CreateView,       // CREATE [MATERIALIZED] VIEW ... AS query
  Update,           // UPDATE t SET c = expr [FROM ...] [WHERE ...]
  Merge,            // MERGE INTO t USING s ON ... WHEN ...
  Other,            // recognised, no column lineage: DELETE, DDL, SET, USE ...
};

struct Problem {
  enum class Severity : std::uint8_t { Warning, Error };
  Severity severity = Severity::Warning;
  std::string message;
  Position at;
};

// How statements map onto scopes:
// - Select / Insert / InsertOverwrite / CreateTable / CreateView: `root` is the
//   query (Insert ... VALUES: a Values scope).
// - Update: `root` is a Select scope whose first source is the target table
//   (with its alias), followed by any FROM sources; each SET c = expr is an
//   output named c; WHERE goes to refs.
// - Merge: `root` is a Select scope with the target and the USING source as its
//   sources; ON is a JoinOn ref, WHEN ... AND conditions are Where refs; every
//   UPDATE SET c = expr and every INSERT (c, ...) VALUES (expr, ...) value is an
//   output named after its target column (a column may appear more than once).
// - Other: no scopes.
struct Statement {
  StatementKind kind = StatementKind::Other;
  std::string keyword;  // Other: the statement's leading keyword(s), upper case ("DELETE", "CREATE INDEX")
  QualifiedName target;  // the table written; empty for Select and Other
  bool materialized = false;  // CreateView: MATERIALIZED
  // Target columns, matched to the root scope's outputs by position: INSERT's
  // column list, CREATE TABLE t (a, b) AS. Empty: the outputs keep their names.
  // UPDATE and MERGE name every output after the column it assigns, and leave
  // this empty.
  std::vector<Identifier> target_columns;
  ScopeId root = kNoScope;
  std::vector<Scope> scopes;  // the arena; scopes refer to each other by index
  std::vector<Problem> problems;
  Position at;  // where the statement starts in the text it came from
  // Byte range of the statement in that text (for showing its SQL).
  std::uint32_t text_begin = 0;
  std::uint32_t text_end = 0;

  ScopeId add_scope(ScopeKind kind, ScopeId parent) {
    Scope scope;
    scope.kind = kind;
    scope.parent = parent;
    scopes.push_back(std::move(scope));
    return static_cast<ScopeId>(scopes.size() - 1);
  }
};

}  // namespace lineage::model

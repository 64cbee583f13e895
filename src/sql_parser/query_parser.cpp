// Queries: WITH, set operations, SELECT and its clauses, FROM items and joins,
// VALUES.
#include <algorithm>
#include <cstdint>
#include <utility>

#include "common/room.hpp"
#include "sql_parser/parser.hpp"

namespace sql_parser {

using model::Clause;
using model::JoinKind;
using model::ScopeId;
using model::ScopeKind;
using model::SourceKind;

bool Parser::at_query_start(std::size_t k) const noexcept {
  // WITH starts a query only as WITH [RECURSIVE] name [(...)] AS: not WITH (NOLOCK),
  // WITH SCHEMABINDING, WITH NO DATA.
  const bool with = is_kw(Kw::WITH, k) &&
                    (is_kw(Kw::RECURSIVE, k + 1) ||
                     (at_name(k + 1) && (is_op("(", k + 2) ||
                                         (is_kw(Kw::AS, k + 2) && (is_op("(", k + 3) || is_kw(Kw::NOT, k + 3) ||
                                                                   is_kw(Kw::MATERIALIZED, k + 3))))));
  return with || is_kw(Kw::SELECT, k) || is_kw(Kw::VALUES, k) ||
         (is_kw(Kw::TABLE, k) && at_name(k + 1) && !is_op("(", k + 2));
}

// At '(': does a query start after the opening parentheses?
bool Parser::looks_like_query_in_parens() const noexcept {
  std::size_t k = 0;
  while (is_op("(", k)) ++k;
  return k > 0 && at_query_start(k);
}

void Parser::add_scope_refs(ScopeId scope, std::vector<model::ColumnRef>& refs,
                            std::vector<model::NestedQuery>& subqueries) {
  model::Scope& s = st_.scopes[static_cast<std::size_t>(scope)];
  if (s.refs.empty()) {
    s.refs.swap(refs);
  } else {
    for (auto& r : refs) s.refs.push_back(std::move(r));
  }
  for (auto& q : subqueries) s.subqueries.push_back(q);
  refs.clear();
  subqueries.clear();
}

void Parser::attach_ctes(std::vector<model::Cte>&& ctes, ScopeId scope) {
  if (ctes.empty() || scope == model::kNoScope) return;
  for (const model::Cte& cte : ctes) {
    if (cte.scope != model::kNoScope) st_.scopes[static_cast<std::size_t>(cte.scope)].parent = scope;
  }
  auto& own = st_.scopes[static_cast<std::size_t>(scope)].ctes;
  // A parenthesised body may bring its own WITH: ours come first.
  for (auto& cte : own) ctes.push_back(std::move(cte));
  own = std::move(ctes);
}

ScopeId Parser::parse_query(ScopeId parent, std::vector<model::Cte>* pending_ctes) {
  DepthGuard guard(*this);
  std::vector<model::Cte> ctes;
  if (pending_ctes) ctes = std::move(*pending_ctes);
  if (is_kw(Kw::WITH)) parse_with(ctes, parent);
  const ScopeId first = parse_set_member(parent);
  ScopeId result = first;
  model::SetOperator op = model::SetOperator::None;
  if (parse_set_operator(op)) {
    result = st_.add_scope(ScopeKind::SetOperation, parent);
    st_.scopes[static_cast<std::size_t>(result)].at = st_.scopes[static_cast<std::size_t>(first)].at;
    st_.scopes[static_cast<std::size_t>(first)].parent = result;
    std::vector<ScopeId> members{first};
    std::vector<model::SetOperator> operators;
    do {
      operators.push_back(op);
      members.push_back(parse_set_member(result));
    } while (parse_set_operator(op));
    auto& set = st_.scopes[static_cast<std::size_t>(result)];
    set.members = std::move(members);
    set.operators = std::move(operators);
  }
  parse_query_tail(result);
  attach_ctes(std::move(ctes), result);
  return result;
}

bool Parser::parse_set_operator(model::SetOperator& op) {
  using model::SetOperator;
  bool all = false;
  if (is_kw(Kw::UNION)) {
    op = SetOperator::Union;
  } else if (is_kw(Kw::INTERSECT)) {
    op = SetOperator::Intersect;
  } else if (is_kw(Kw::EXCEPT) || is_kw(Kw::MINUS)) {
    op = SetOperator::Except;
  } else {
    return false;
  }
  advance();
  if (accept_kw(Kw::ALL)) all = true;
  else accept_kw(Kw::DISTINCT);
  if (is_kw(Kw::BY) && is_word("NAME", 1)) {  // UNION [ALL] BY NAME
    advance();
    advance();
  }
  accept_word("CORRESPONDING");
  if (all && op == SetOperator::Union) op = SetOperator::UnionAll;
  return true;
}

ScopeId Parser::parse_set_member(ScopeId parent) {
  if (is_op("(")) {
    advance();
    const ScopeId inner = parse_query(parent);
    expect_op(")");
    return inner;
  }
  if (is_kw(Kw::SELECT)) return parse_select(parent);
  if (is_kw(Kw::VALUES)) return parse_values(parent);
  if (is_kw(Kw::TABLE)) {  // TABLE t: every column of t
    const Token& t = advance();
    const ScopeId s = st_.add_scope(ScopeKind::Select, parent);
    model::Source source;
    source.at = at(peek());
    source.table = parse_qualified_name("a table name");
    model::OutputColumn star;
    star.kind = model::OutputColumn::Kind::Star;
    star.name = model::Identifier{"*", false};
    star.at = at(t);
    auto& scope = st_.scopes[static_cast<std::size_t>(s)];
    scope.at = at(t);
    scope.sources.push_back(std::move(source));
    scope.outputs.push_back(std::move(star));
    return s;
  }
  fail("SELECT, VALUES or a query in parentheses");
}

void Parser::parse_with(std::vector<model::Cte>& ctes, ScopeId parent) {
  expect_kw(Kw::WITH);
  const bool recursive = accept_kw(Kw::RECURSIVE);
  do {
    model::Cte cte;
    if (!at_name()) fail("a name for the WITH query");
    cte.name = identifier(advance());
    if (is_op("(")) cte.columns = parse_name_list();
    expect_kw(Kw::AS);
    accept_kw(Kw::NOT);
    accept_kw(Kw::MATERIALIZED);
    expect_op("(");
    cte.scope = parse_query(parent);
    expect_op(")");
    cte.recursive = recursive;
    ctes.push_back(std::move(cte));
  } while (accept_op(","));
}

ScopeId Parser::parse_select(ScopeId parent) {
  const Token& select = advance();
  const ScopeId s = st_.add_scope(ScopeKind::Select, parent);
  st_.scopes[static_cast<std::size_t>(s)].at = at(select);
  // Modifiers before the list.
  for (;;) {
    if (accept_kw(Kw::ALL)) continue;
    if (accept_kw(Kw::DISTINCT)) {
      st_.scopes[static_cast<std::size_t>(s)].distinct = true;
      if (accept_kw(Kw::ON)) {
        expect_op("(");
        parse_expression_list(s, Clause::GroupBy);
        expect_op(")");
      }
      continue;
    }
    if (accept_word("DISTINCTROW")) continue;
    if (accept_kw(Kw::TOP)) {
      if (is_op("(")) skip_group(); else advance();
      accept_word("PERCENT");
      if (is_kw(Kw::WITH) && is_word("TIES", 1)) {
        advance();
        advance();
      }
      continue;
    }
    if (is_kw(Kw::AS) && (is_word("STRUCT", 1) || is_kw(Kw::VALUE, 1))) {
      advance();
      advance();
      continue;
    }
    const Token& t = peek();
    if (t.kind == Tok::Word && (t.kw == Kw::STRAIGHT_JOIN || is_word("HIGH_PRIORITY") ||
                                is_word("SQL_CALC_FOUND_ROWS") || is_word("SQL_NO_CACHE") ||
                                is_word("SQL_CACHE") || is_word("SQL_SMALL_RESULT") ||
                                is_word("SQL_BIG_RESULT") || is_word("SQL_BUFFER_RESULT"))) {
      advance();
      continue;
    }
    break;
  }
  std::vector<model::OutputColumn> outputs;
  outputs.reserve(4);  // within the allocator's small, cached sizes; most lists are short
  do {
    if (is_kw(Kw::FROM) && !outputs.empty()) break;  // a trailing comma
    parse_select_item(s, outputs);
  } while (accept_op(","));
  st_.scopes[static_cast<std::size_t>(s)].outputs = std::move(outputs);
  if (accept_kw(Kw::INTO)) {  // SELECT ... INTO new_table / @var / OUTFILE '...'
    while (accept_kw(Kw::TEMP) || accept_kw(Kw::TEMPORARY) || accept_kw(Kw::UNLOGGED) || accept_kw(Kw::TABLE)) {
    }
    if (at_name() && !is_word("OUTFILE") && !is_word("DUMPFILE")) {
      model::QualifiedName into = parse_qualified_name("a table name");
      if (select_into_.empty()) select_into_ = std::move(into);
    }
    while (!at_end() && !is_kw(Kw::FROM) && !is_op(")")) {
      if (is_op("(")) skip_group(); else advance();
    }
  }
  if (accept_kw(Kw::FROM)) parse_from(s);
  for (;;) {
    if (accept_kw(Kw::WHERE)) {
      parse_clause_expression(s, Clause::Where);
    } else if (is_kw(Kw::GROUP) && is_kw(Kw::BY, 1)) {
      advance();
      advance();
      if (!accept_kw(Kw::ALL)) accept_kw(Kw::DISTINCT);
      if (!at_end() && !is_op(")") && !is_kw(Kw::HAVING) && !is_kw(Kw::ORDER) && !is_kw(Kw::LIMIT))
        parse_expression_list(s, Clause::GroupBy);
      if (is_kw(Kw::WITH) && (is_kw(Kw::ROLLUP, 1) || is_kw(Kw::CUBE, 1))) {
        advance();
        advance();
      }
    } else if (accept_kw(Kw::HAVING)) {
      parse_clause_expression(s, Clause::Having);
    } else if (accept_kw(Kw::QUALIFY)) {
      parse_clause_expression(s, Clause::Qualify);
    } else if (accept_kw(Kw::WINDOW)) {
      parse_window_definitions(s);
    } else if ((is_kw(Kw::START) && is_kw(Kw::WITH, 1)) || (is_kw(Kw::CONNECT) && is_kw(Kw::BY, 1))) {
      advance();
      advance();
      accept_word("NOCYCLE");
      parse_clause_expression(s, Clause::Where);
    } else {
      break;
    }
  }
  return s;
}

void Parser::parse_select_item(ScopeId s, std::vector<model::OutputColumn>& outputs) {
  model::OutputColumn out;
  const std::size_t first = pos_;
  out.at = at(peek());
  // *, t.*, db.t.*
  std::size_t k = 0;
  while (at_name(k) && is_op(".", k + 1)) k += 2;
  if (is_op("*", k)) {
    for (std::size_t i = 0; i < k; i += 2) append_name_parts(peek(i), out.star_qualifier);
    for (std::size_t i = 0; i <= k; ++i) advance();
    out.kind = model::OutputColumn::Kind::Star;
    out.name = model::Identifier{"*", false};
    // * EXCEPT (a, b), * EXCLUDE (a), * REPLACE (...), * RENAME (...), * ILIKE '...'
    for (;;) {
      if ((is_kw(Kw::EXCEPT) && is_op("(", 1) && !at_query_start(2)) || is_kw(Kw::EXCLUDE)) {
        advance();
        if (is_op("(")) {
          for (auto& name : parse_name_list()) out.star_except.push_back(std::move(name));
        } else if (at_name()) {
          out.star_except.push_back(identifier(advance()));
        }
      } else if ((is_kw(Kw::REPLACE) || is_kw(Kw::RENAME)) && is_op("(", 1)) {
        advance();
        skip_group();
      } else if (is_kw(Kw::ILIKE) && peek(1).kind == Tok::String) {
        advance();
        advance();
      } else {
        break;
      }
    }
    outputs.push_back(std::move(out));
    return;
  }
  Sink sink{out.refs, out.subqueries, Clause::Select, s};
  if (rules_.is(Dialect::Tsql) && at_name() && is_op("=", 1)) {  // alias = expr
    out.name = identifier(advance());
    out.has_alias = true;
    advance();
    parse_top_expr(sink);
    outputs.push_back(std::move(out));
    return;
  }
  const ExprInfo info = parse_top_expr(sink);
  const std::size_t last = pos_ - 1;
  if (is_kw(Kw::AS) && is_op("(", 1)) {  // posexplode(m) AS (p, v): named by the first
    advance();
    std::vector<model::Identifier> names = parse_name_list();
    if (!names.empty()) {
      out.name = std::move(names.front());
      out.has_alias = true;
    }
  } else if (parse_alias(out.name, true)) {
    out.has_alias = true;
  } else if (info.named != 0) {
    out.name = identifier(tokens_[info.named]);
    out.has_alias = true;
  } else if (info.bare_column) {
    out.name = identifier(tokens_[info.name_token]);
  } else if (info.cast_column != 0) {
    out.derived_name = true;
    out.name = identifier(tokens_[info.cast_column]);
  } else {
    out.derived_name = true;
    out.name = model::Identifier{expression_text(first, last), false};
  }
  outputs.push_back(std::move(out));
}

void Parser::parse_clause_expression(ScopeId scope, Clause clause) {
  std::vector<model::ColumnRef> refs;
  refs.reserve(4);
  std::vector<model::NestedQuery> subqueries;
  Sink sink{refs, subqueries, clause, scope};
  parse_top_expr(sink);
  add_scope_refs(scope, refs, subqueries);
}

void Parser::parse_expression_list(ScopeId scope, Clause clause) {
  std::vector<model::ColumnRef> refs;
  std::vector<model::NestedQuery> subqueries;
  Sink sink{refs, subqueries, clause, scope};
  do {
    if (is_kw(Kw::GROUPING) && is_kw(Kw::SETS, 1)) {
      advance();
      advance();
    }
    if (!parse_ordinal(sink)) parse_top_expr(sink);
    if (clause == Clause::OrderBy) skip_sort_options();
  } while (accept_op(","));
  add_scope_refs(scope, refs, subqueries);
}

void Parser::parse_order_by(ScopeId scope, Clause clause) { parse_expression_list(scope, clause); }

// GROUP BY 1 / ORDER BY 2: a number alone names a select-list position.
bool Parser::parse_ordinal(Sink& sink) {
  const Token& t = peek();
  if (t.kind != Tok::Number || (sink.clause != Clause::GroupBy && sink.clause != Clause::OrderBy)) return false;
  std::uint64_t position = 0;
  for (char c : text_of(t)) {
    if (c < '0' || c > '9') return false;
    position = std::min<std::uint64_t>(position * 10 + static_cast<std::uint64_t>(c - '0'), 0xFFFFFFFFu);
  }
  advance();
  if (binary_precedence() != 0 || is_op("::") || is_op("[") || is_op(".")) {
    --pos_;  // part of a larger expression
    return false;
  }
  if (position > 0) {
    model::ColumnRef ref;
    ref.clause = sink.clause;
    ref.ordinal = static_cast<std::uint32_t>(position);
    ref.at = at(t);
    qm::make_room(sink.refs, 1);
    sink.refs.push_back(std::move(ref));
  }
  return true;
}

void Parser::parse_window_definitions(ScopeId scope) {
  std::vector<model::ColumnRef> refs;
  std::vector<model::NestedQuery> subqueries;
  Sink sink{refs, subqueries, Clause::WindowPartition, scope};
  do {
    if (!at_name()) fail("a window name");
    advance();
    expect_kw(Kw::AS);
    parse_window(sink);
  } while (accept_op(","));
  add_scope_refs(scope, refs, subqueries);
}

// ORDER BY, LIMIT, OFFSET, FETCH and the like after a query.
void Parser::parse_query_tail(ScopeId scope) {
  std::vector<model::ColumnRef> dropped;
  std::vector<model::NestedQuery> dropped_queries;
  Sink ignore{dropped, dropped_queries, Clause::OrderBy, scope};
  for (;;) {
    if ((is_kw(Kw::ORDER) || is_kw(Kw::SORT) || is_kw(Kw::DISTRIBUTE) || is_kw(Kw::CLUSTER)) &&
        is_kw(Kw::BY, 1)) {
      advance();
      advance();
      parse_order_by(scope, Clause::OrderBy);
    } else if (accept_kw(Kw::LIMIT)) {
      if (!accept_kw(Kw::ALL)) parse_expr(ignore);
      if (accept_op(",")) parse_expr(ignore);
    } else if (accept_kw(Kw::OFFSET)) {
      parse_expr(ignore);
      if (!accept_kw(Kw::ROW)) accept_kw(Kw::ROWS);
    } else if (accept_kw(Kw::FETCH)) {
      if (!accept_kw(Kw::FIRST)) accept_word("NEXT");
      if (!is_kw(Kw::ROW) && !is_kw(Kw::ROWS)) parse_expr(ignore);
      accept_word("PERCENT");
      if (!accept_kw(Kw::ROW)) accept_kw(Kw::ROWS);
      if (!accept_kw(Kw::ONLY) && is_kw(Kw::WITH)) {
        advance();
        accept_word("TIES");
      }
    } else if (is_kw(Kw::FOR) && !is_kw(Kw::SYSTEM_TIME, 1)) {  // FOR UPDATE, FOR XML PATH
      advance();
      while (!at_end() && !is_op(")") && !is_op(";")) {
        if (is_op("(")) skip_group(); else advance();
      }
    } else if (is_word("OPTION") && is_op("(", 1)) {
      advance();
      skip_group();
    } else if (is_kw(Kw::LOCK) && is_kw(Kw::IN, 1)) {  // LOCK IN SHARE MODE
      while (!at_end() && !is_op(")")) advance();
    } else {
      return;
    }
  }
}

// ---- FROM -------------------------------------------------------------------

void Parser::parse_from(ScopeId scope) { parse_joined(scope, JoinKind::None); }

void Parser::parse_joined(ScopeId scope, JoinKind first) {
  parse_table_factor(scope, first);
  parse_join_tail(scope);
}

void Parser::parse_join_tail(ScopeId scope) {
  for (;;) {
    JoinKind kind = JoinKind::None;
    if (accept_op(",")) {
      parse_table_factor(scope, JoinKind::Comma);
    } else if (is_kw(Kw::LATERAL) && is_kw(Kw::VIEW, 1)) {
      parse_lateral_view(scope);
    } else if (parse_join_kind(kind)) {
      parse_table_factor(scope, kind);
      parse_join_condition(scope);
    } else {
      return;
    }
  }
}

bool Parser::parse_join_kind(JoinKind& kind) {
  const std::size_t start = pos_;
  kind = JoinKind::Inner;
  bool any = false;
  for (;;) {
    const Token& t = peek();
    if (t.kind != Tok::Word) break;
    if (t.kw == Kw::JOIN || t.kw == Kw::STRAIGHT_JOIN) {
      advance();
      return true;
    }
    if (t.kw == Kw::APPLY) {  // CROSS APPLY / OUTER APPLY
      if (!any) break;
      advance();
      kind = JoinKind::Lateral;
      return true;
    }
    switch (t.kw) {
      case Kw::LEFT: kind = JoinKind::Left; break;
      case Kw::RIGHT: kind = JoinKind::Right; break;
      case Kw::FULL: kind = JoinKind::Full; break;
      case Kw::CROSS: kind = JoinKind::Cross; break;
      case Kw::NATURAL: case Kw::INNER: case Kw::OUTER: case Kw::SEMI: case Kw::ANTI: case Kw::ANY:
      case Kw::GLOBAL:
        break;
      default:
        if (is_word("ASOF") || is_word("POSITIONAL") || is_word("HASH") || is_word("LOOP") ||
            is_word("MERGE") || is_word("REMOTE") || is_word("LOOKUP"))
          break;
        pos_ = start;
        return false;
    }
    any = true;
    advance();
  }
  pos_ = start;
  return false;
}

void Parser::parse_join_condition(ScopeId scope) {
  if (accept_kw(Kw::ON)) {
    parse_clause_expression(scope, Clause::JoinOn);
    return;
  }
  if (!is_kw(Kw::USING)) return;
  const Token& using_token = advance();
  std::vector<model::Identifier> names = parse_name_list();
  auto& sources = st_.scopes[static_cast<std::size_t>(scope)].sources;
  // Each side of USING (a): the new source's a and the one before it.
  auto qualifier_of = [](const model::Source& s) {
    if (!s.alias.empty()) return model::QualifiedName{s.alias};
    return s.table;
  };
  for (const model::Identifier& name : names) {
    for (std::size_t back = 1; back <= 2 && back <= sources.size(); ++back) {
      model::ColumnRef ref;
      ref.qualifier = qualifier_of(sources[sources.size() - back]);
      ref.name = name;
      ref.clause = Clause::JoinOn;
      ref.usage = model::Usage::Identity;
      ref.at = at(using_token);
      st_.scopes[static_cast<std::size_t>(scope)].refs.push_back(std::move(ref));
    }
  }
}

void Parser::parse_table_factor(ScopeId scope, JoinKind join) {
  DepthGuard guard(*this);
  model::Source source;
  source.join = join;
  source.at = at(peek());
  const bool lateral = accept_kw(Kw::LATERAL);
  if (lateral && join == JoinKind::Comma) source.join = JoinKind::Lateral;
  if (is_op("(")) {
    if (looks_like_query_in_parens()) {
      const std::size_t start = pos_;
      const std::size_t scopes = st_.scopes.size();
      try {
        advance();
        source.scope = parse_query(scope);
        expect_op(")");
        source.kind = st_.scopes[static_cast<std::size_t>(source.scope)].kind == ScopeKind::Values
                          ? SourceKind::Values
                          : SourceKind::Subquery;
      } catch (SyntaxError& error) {
        // ((SELECT ...) a JOIN b ON ...): a parenthesised join after all.
        const bool nested = start + 1 < tokens_.size() && tokens_[start + 1].kind == Tok::Op &&
                            text_of(tokens_[start + 1]) == "(";
        if (error.fatal || !nested) throw;
        spend_backtrack(pos_ - start);
        pos_ = start;
        st_.scopes.erase(st_.scopes.begin() + static_cast<std::ptrdiff_t>(scopes), st_.scopes.end());
        source.scope = model::kNoScope;
      }
    }
    if (source.scope == model::kNoScope) {  // ( a JOIN b ON ... ) [alias]
      advance();
      parse_joined(scope, join);
      expect_op(")");
      model::Identifier ignored;
      parse_alias(ignored, false);
      return;
    }
  } else if (is_kw(Kw::VALUES)) {
    source.scope = parse_values(scope);
    source.kind = SourceKind::Values;
  } else if (peek().kind == Tok::Param) {  // @table_variable
    source.table.push_back(identifier(advance()));
  } else {
    if (is_reserved_for_expression(peek())) fail("a table name or a sub-query");
    source.table = parse_qualified_name("a table name or a sub-query");
    if (is_op("(")) {  // a table function: UNNEST(a), generate_series(1, 3), TABLE(...)
      source.kind = SourceKind::TableFunction;
      Sink sink{source.refs, source.subqueries, Clause::TableFunction, scope,
                model::Usage::Transformation, false};
      const std::string_view name = source.table.back().text;
      parse_function_arguments(sink, name);
      if (is_kw(Kw::WITH) && is_kw(Kw::ORDINALITY, 1)) {
        advance();
        advance();
      }
    }
  }
  parse_source_suffixes(source);
  auto& sources = st_.scopes[static_cast<std::size_t>(scope)].sources;
  qm::make_room(sources, 1);
  sources.push_back(std::move(source));
  while (is_kw(Kw::PIVOT) || is_kw(Kw::UNPIVOT) || is_word("MATCH_RECOGNIZE")) parse_pivot(scope);
}

// Time travel, sampling, hints, the alias and its column list.
void Parser::parse_source_suffixes(model::Source& source) {
  std::vector<model::ColumnRef> dropped;
  std::vector<model::NestedQuery> dropped_queries;
  Sink ignore{dropped, dropped_queries, Clause::Where, model::kNoScope};
  for (int round = 0; round < 2; ++round) {
    for (;;) {
      if (is_kw(Kw::FOR) && (is_kw(Kw::SYSTEM_TIME, 1) || is_word("TIMESTAMP", 1) || is_word("VERSION", 1))) {
        advance();
        advance();
        if (accept_kw(Kw::AS)) expect_kw(Kw::OF);
        parse_expr(ignore);
      } else if ((is_kw(Kw::AT) || is_word("BEFORE")) && is_op("(", 1)) {
        advance();
        skip_group();
      } else if (accept_kw(Kw::TABLESAMPLE)) {
        if (at_name() && !is_op("(")) advance();
        if (is_op("(")) skip_group();
        if (is_word("REPEATABLE") && is_op("(", 1)) {
          advance();
          skip_group();
        }
      } else if (is_kw(Kw::WITH) && is_op("(", 1)) {  // WITH (NOLOCK)
        advance();
        skip_group();
      } else if ((is_kw(Kw::USE) || is_word("FORCE") || is_kw(Kw::IGNORE)) &&
                 (is_word("INDEX", 1) || is_kw(Kw::KEY, 1))) {
        advance();
        advance();
        if (is_kw(Kw::FOR)) {
          advance();
          advance();
          if (is_kw(Kw::BY)) advance();
        }
        if (is_op("(")) skip_group();
      } else if (is_kw(Kw::WITH) && is_kw(Kw::OFFSET, 1)) {  // UNNEST(...) WITH OFFSET [AS o]
        advance();
        advance();
        model::Identifier ignored;
        parse_alias(ignored, false);
      } else {
        break;
      }
    }
    if (round == 0 && source.alias.empty()) {
      if (parse_alias(source.alias, false) && is_op("(") && !looks_like_query_in_parens())
        source.column_aliases = parse_name_list();
    }
  }
}

// LATERAL VIEW [OUTER] explode(x) t AS a, b
void Parser::parse_lateral_view(ScopeId scope) {
  model::Source source;
  source.at = at(peek());
  advance();
  advance();
  accept_kw(Kw::OUTER);
  source.kind = SourceKind::TableFunction;
  source.join = JoinKind::Lateral;
  source.table = parse_qualified_name("a table function");
  Sink sink{source.refs, source.subqueries, Clause::TableFunction, scope, model::Usage::Transformation, false};
  const std::string_view name = source.table.back().text;
  parse_function_arguments(sink, name);
  if (!is_kw(Kw::AS) && can_be_alias(peek())) source.alias = identifier(advance());
  if (accept_kw(Kw::AS)) {
    do {
      if (!at_name()) fail("a column name");
      source.column_aliases.push_back(identifier(advance()));
    } while (is_op(",") && at_name(1) && !is_op("(", 2) && !is_op(".", 2) && accept_op(","));
  }
  auto& sources = st_.scopes[static_cast<std::size_t>(scope)].sources;
  qm::make_room(sources, 1);
  sources.push_back(std::move(source));
}

// PIVOT / UNPIVOT / MATCH_RECOGNIZE: read for the columns they name, without
// their output columns.
void Parser::parse_pivot(ScopeId scope) {
  const Token& keyword = advance();
  if (is_word("INCLUDE") || is_kw(Kw::EXCLUDE)) {
    advance();
    accept_kw(Kw::NULLS);
  }
  if (!is_op("(")) fail("'(' after " + std::string(text_of(keyword)));
  const std::size_t open = pos_;
  const std::size_t close = matching_close(open);
  std::vector<model::ColumnRef> refs;
  std::vector<model::NestedQuery> subqueries;
  Sink sink{refs, subqueries, Clause::GroupBy, scope, model::Usage::Transformation, false};
  collect_refs_between(sink, open + 1, close);
  add_scope_refs(scope, refs, subqueries);
  std::string what(text_of(keyword));
  for (char& c : what) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  warn(keyword, what + " is read for the columns it names; its output columns are not known");
  pos_ = close;
  advance();
  model::Identifier alias;
  if (parse_alias(alias, false) && is_op("(")) parse_name_list();
}

ScopeId Parser::parse_values(ScopeId parent) {
  const Token& values = advance();
  const ScopeId s = st_.add_scope(ScopeKind::Values, parent);
  std::vector<model::OutputColumn> outputs;
  auto read_value = [&](std::size_t column) {
    if (outputs.size() <= column) {
      outputs.emplace_back();
      model::OutputColumn& out = outputs.back();
      out.name = model::Identifier{"column" + std::to_string(column + 1), false};
      out.derived_name = true;
      out.at = at(peek());
    }
    model::OutputColumn& out = outputs[column];
    Sink sink{out.refs, out.subqueries, Clause::Select, s};
    parse_top_expr(sink);
  };
  do {
    accept_kw(Kw::ROW);
    if (is_op("(") && !looks_like_query_in_parens()) {
      advance();
      std::size_t column = 0;
      if (!is_op(")")) {
        do read_value(column++); while (accept_op(","));
      }
      expect_op(")");
    } else {
      read_value(0);
    }
  } while (accept_op(","));
  auto& scope = st_.scopes[static_cast<std::size_t>(s)];
  scope.outputs = std::move(outputs);
  scope.at = at(values);
  return s;
}

}  // namespace sql_parser

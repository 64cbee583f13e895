// Statements dispatch on their first keyword: queries, INSERT, CREATE ... AS,
// UPDATE and MERGE are read for lineage; the rest is recognised as Other.
#include <string>
#include <utility>

#include "sql_parser/parser.hpp"
#include "sql_parser/word_lists.hpp"

namespace sql_parser {

using model::Clause;
using model::ScopeId;
using model::ScopeKind;
using model::StatementKind;

namespace {

std::string upper_text(std::string_view word) {
  std::string out(word);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return out;
}

// First words of statements that have no column lineage.
bool other_statement(std::string_view w) noexcept {
  static constexpr std::string_view kWords[] = {
      "DELETE", "ALTER", "DROP", "TRUNCATE", "GRANT", "REVOKE", "SET", "USE", "SHOW", "DESCRIBE",
      "DESC", "EXPLAIN", "COPY", "ANALYZE", "ANALYSE", "VACUUM", "BEGIN", "COMMIT", "ROLLBACK",
      "START", "CALL", "EXEC", "EXECUTE", "DECLARE", "LOAD", "UNLOAD", "MSCK", "REFRESH", "CACHE",
      "UNCACHE", "COMMENT", "LOCK", "UNLOCK", "PRAGMA", "ATTACH", "DETACH", "REINDEX", "CLUSTER",
      "OPTIMIZE", "PUT", "GET", "LIST", "REMOVE", "RESET", "PREPARE", "DEALLOCATE", "DO", "IF",
      "PRINT", "RETURN", "END", "GO", "SAVEPOINT", "RELEASE", "KILL", "FLUSH", "REPAIR",
      "CHECKPOINT", "LISTEN", "NOTIFY", "DISCARD", "IMPORT", "EXPORT", "INSTALL", "UNDROP", "ADD",
      "RENAME", "CREATE", "ABORT", "WHILE", "FOR", "LOOP", "RAISE", "THROW", "OPEN", "CLOSE",
      "FETCH", "DENY", "BACKUP", "RESTORE", "DBCC", "SUMMARIZE", "CHECKSUM", "HANDLER", "HELP",
      "LOCAL", "UPSERT", "REPLACE", "INSERT", "UPDATE", "MERGE", "ELSE", "ELSIF", "EXCEPTION",
      "DEFINE", "UNSET", "WAITFOR", "WHENEVER", "ASSERT", "EXIT", "CONTINUE", "BREAK", "LEAVE",
      "ITERATE", "REPEAT", "ELSEIF", "CASE", "WHEN", "UNTIL", "GOTO", "USING", "SIGNAL", "RESIGNAL"};
  for (std::string_view k : kWords) {
    if (is_word_text(w, k)) return true;
  }
  return false;
}

}  // namespace

// A statement of lineage at the start of a block: BEGIN INSERT ..., or the
// first statement of CREATE PROCEDURE ... BEGIN ... (the rest of the body
// follows as statements of its own).
bool Parser::skip_to_block_body() {
  const bool procedure = is_kw(Kw::CREATE);
  if (!procedure && !is_word("BEGIN")) return false;
  std::size_t k = 0;
  if (procedure) {
    const std::size_t end = tokens_.size() - 1;
    bool named = false;
    for (std::size_t i = 1; i < end && i < 8; ++i) {
      if (is_word("PROCEDURE", i) || is_word("PROC", i)) named = true;
    }
    if (!named) return false;
    int depth = 0;
    for (k = 1; k < end; ++k) {
      const Token& t = tokens_[k];
      if (t.kind == Tok::Op && (text_of(t) == "(")) ++depth;
      if (t.kind == Tok::Op && (text_of(t) == ")")) --depth;
      if (depth == 0 && t.kind == Tok::Word && is_word_text(text_of(t), "BEGIN")) break;
    }
    if (k >= end) return false;
  }
  const Token& next = peek(k + 1);
  if (next.kind != Tok::Word) return false;
  switch (next.kw) {
    case Kw::SELECT: case Kw::WITH: case Kw::INSERT: case Kw::UPDATE: case Kw::MERGE: case Kw::CREATE:
      pos_ += k + 1;
      return true;
    default:
      return false;
  }
}

void Parser::parse_statement() {
  backtrack_budget_ = tokens_.size() * 4 + 4096;
  st_.scopes.reserve(4);
  skip_to_block_body();
  const Token& first = peek();
  if (first.kind == Tok::Error) fail("a statement");
  if (first.kind == Tok::Op && text_of(first) == "(") {
    st_.kind = StatementKind::Select;
    st_.root = parse_query(model::kNoScope);
    finish_statement();
    return;
  }
  if (first.kind != Tok::Word) fail("a statement");
  if (is_op(":=", 1)) {  // name := value, in a procedure's body
    become_other("ASSIGNMENT");
    return;
  }
  switch (first.kw) {
    case Kw::SELECT:
    case Kw::VALUES:
    case Kw::TABLE:
      st_.kind = StatementKind::Select;
      st_.root = parse_query(model::kNoScope);
      break;
    case Kw::WITH: {
      std::vector<model::Cte> ctes;
      parse_with(ctes, model::kNoScope);
      if (is_kw(Kw::INSERT)) {
        parse_insert();
      } else if (is_kw(Kw::UPDATE)) {
        parse_update();
      } else if (is_kw(Kw::MERGE)) {
        parse_merge();
      } else if (is_kw(Kw::DELETE)) {
        parse_other(1);
        return;
      } else {
        st_.kind = StatementKind::Select;
        st_.root = parse_query(model::kNoScope, &ctes);
      }
      attach_ctes(std::move(ctes), st_.root);
      break;
    }
    case Kw::INSERT:
      parse_insert();
      break;
    case Kw::REPLACE:
    case Kw::UPSERT:
      if (is_kw(Kw::INTO, 1)) {
        parse_insert();
      } else {
        parse_other(1);
        return;
      }
      break;
    case Kw::CREATE:
      parse_create();
      break;
    case Kw::UPDATE:
      parse_update();
      break;
    case Kw::MERGE:
      parse_merge();
      break;
    default:
      if (other_statement(text_of(first))) {
        parse_other(1);
        return;
      }
      fail("a statement (SELECT, WITH, INSERT, CREATE, UPDATE, MERGE ...)");
  }
  finish_statement();
}

void Parser::finish_statement() {
  if (st_.kind == StatementKind::Select && !select_into_.empty()) {
    st_.kind = StatementKind::CreateTable;  // SELECT ... INTO t creates t
    st_.target = std::move(select_into_);
  }
  // Clauses after the query that add no lineage.
  if (is_kw(Kw::ON) || is_kw(Kw::RETURNING) || (is_kw(Kw::WITH) && (is_kw(Kw::NO, 1) || is_kw(Kw::DATA, 1)))) {
    while (!at_end()) {
      if (peek().kind == Tok::Error) fail("the end of the statement");
      advance();
    }
  }
  if (!at_end()) fail("the end of the statement");
}

void Parser::parse_other(std::size_t words) {
  std::string keyword = upper_text(text_of(advance()));
  // CREATE INDEX, ALTER TABLE, DROP VIEW: the object kind too, past modifiers.
  if (words == 1 && (keyword == "CREATE" || keyword == "ALTER" || keyword == "DROP")) {
    while (is_kw(Kw::OR) || is_kw(Kw::REPLACE) || is_kw(Kw::TEMP) || is_kw(Kw::TEMPORARY) ||
           is_kw(Kw::GLOBAL) || is_kw(Kw::LOCAL) || is_kw(Kw::UNIQUE) || is_kw(Kw::EXTERNAL) ||
           is_kw(Kw::TRANSIENT) || is_kw(Kw::SECURE) || is_kw(Kw::MATERIALIZED) || is_kw(Kw::VOLATILE))
      advance();
    if (peek().kind == Tok::Word) {
      keyword += ' ';
      keyword += upper_text(text_of(advance()));
    }
  }
  become_other(std::move(keyword));
}

// The statement is recognised and has no column lineage: kind Other, no scopes.
void Parser::become_other(std::string keyword) {
  model::Statement other;
  other.kind = StatementKind::Other;
  other.keyword = std::move(keyword);
  other.problems = std::move(st_.problems);
  other.at = st_.at;
  other.text_begin = st_.text_begin;
  other.text_end = st_.text_end;
  st_ = std::move(other);
  pos_ = tokens_.size() - 1;
}

void Parser::parse_insert() {
  advance();  // INSERT / REPLACE / UPSERT
  while (is_word("LOW_PRIORITY") || is_word("DELAYED") || is_word("HIGH_PRIORITY") || is_kw(Kw::IGNORE))
    advance();
  if (is_kw(Kw::OR) && peek(1).kind == Tok::Word) {  // INSERT OR REPLACE INTO
    advance();
    advance();
  }
  if (is_kw(Kw::ALL) || is_kw(Kw::FIRST)) {  // multi-table INSERT ALL INTO ...
    pos_ = 0;
    parse_other(1);
    return;
  }
  st_.kind = StatementKind::Insert;
  if (accept_kw(Kw::OVERWRITE)) {
    st_.kind = StatementKind::InsertOverwrite;
  } else {
    accept_kw(Kw::INTO);
  }
  accept_kw(Kw::TABLE);
  st_.target = parse_qualified_name("the table to insert into");
  if (accept_kw(Kw::AS)) advance();  // INSERT INTO t AS alias
  for (;;) {
    if (is_kw(Kw::PARTITION) && is_op("(", 1)) {
      advance();
      skip_group();
    } else if (is_kw(Kw::IF) && is_kw(Kw::NOT, 1) && is_kw(Kw::EXISTS, 2)) {
      advance();
      advance();
      advance();
    } else if (is_op("(") && !looks_like_query_in_parens() && st_.target_columns.empty()) {
      st_.target_columns = parse_name_list();
      if (st_.target_columns.empty()) continue;
    } else if (is_word("BY") && is_word("NAME", 1)) {
      advance();
      advance();
    } else {
      break;
    }
  }
  if (is_kw(Kw::OUTPUT)) {  // OUTPUT inserted.* [INTO ...]
    while (!at_end() && !at_query_start() && !is_op("(")) {
      if (is_op("(")) skip_group(); else advance();
    }
  }
  if (is_kw(Kw::DEFAULT) && is_kw(Kw::VALUES, 1)) {
    pos_ = 0;
    parse_other(1);
    return;
  }
  if (is_kw(Kw::SET)) {  // MySQL's INSERT ... SET a = 1
    pos_ = 0;
    parse_other(1);
    return;
  }
  st_.root = is_kw(Kw::VALUES) ? parse_values(model::kNoScope) : parse_query(model::kNoScope);
  if (st_.root != model::kNoScope) {
    // ON DUPLICATE KEY UPDATE / ON CONFLICT / RETURNING: no lineage of their own.
    if (is_kw(Kw::ON) || is_kw(Kw::RETURNING)) pos_ = tokens_.size() - 1;
  }
}

void Parser::parse_create() {
  const std::size_t start = pos_;
  advance();  // CREATE
  for (;;) {
    if (is_kw(Kw::OR) && (is_kw(Kw::REPLACE, 1) || is_kw(Kw::ALTER, 1))) {
      advance();
      advance();
    } else if (is_kw(Kw::TEMP) || is_kw(Kw::TEMPORARY) || is_kw(Kw::TRANSIENT) || is_kw(Kw::VOLATILE) ||
               is_kw(Kw::GLOBAL) || is_kw(Kw::LOCAL) || is_kw(Kw::EXTERNAL) || is_kw(Kw::SECURE) ||
               is_kw(Kw::UNLOGGED) || is_kw(Kw::MULTISET) || is_kw(Kw::RECURSIVE) || is_word("SET") ||
               is_word("FORCE") || is_word("NOFORCE") || is_word("DYNAMIC") || is_word("ICEBERG") ||
               is_word("HYBRID") || is_word("PRIVATE")) {
      advance();
    } else if (accept_kw(Kw::MATERIALIZED)) {
      st_.materialized = true;
    } else {
      break;
    }
  }
  const bool view = is_kw(Kw::VIEW);
  if (!view && !is_kw(Kw::TABLE)) {
    pos_ = start;
    parse_other(1);
    return;
  }
  advance();
  if (is_kw(Kw::IF) && is_kw(Kw::NOT, 1) && is_kw(Kw::EXISTS, 2)) {
    advance();
    advance();
    advance();
  }
  st_.target = parse_qualified_name(view ? "the view's name" : "the table's name");
  if (!parse_create_query(view)) {
    pos_ = start;
    parse_other(1);
  }
}

// The rest of CREATE TABLE / VIEW name: column list, options, AS query. False
// when there is no query (plain DDL).
bool Parser::parse_create_query(bool view) {
  if (is_op("(") && !looks_like_query_in_parens()) {
    // Column names, with or without types and constraints.
    advance();
    while (!accept_op(")")) {
      if (at_end()) fail("')' closing the column list");
      const Token& t = peek();
      const bool constraint = t.kind == Tok::Word &&
                              (is_word("PRIMARY") || is_word("CONSTRAINT") || t.kw == Kw::UNIQUE ||
                               is_word("FOREIGN") || is_word("CHECK") || is_word("INDEX") ||
                               t.kw == Kw::KEY || is_word("PERIOD") || is_word("FULLTEXT") ||
                               t.kw == Kw::LIKE || is_word("SPATIAL"));
      if (!constraint && at_name()) st_.target_columns.push_back(identifier(advance()));
      skip_to_closing();
      if (!accept_op(",")) {
        expect_op(")");
        break;
      }
    }
  }
  // Options up to AS query: STORED AS, LOCATION, TBLPROPERTIES, WITH (...),
  // PARTITIONED BY, CLUSTER BY, COMMENT ...
  for (;;) {
    if (at_end()) return false;
    if (peek().kind == Tok::Error) fail("AS and a query");
    if (is_kw(Kw::AS) && (at_query_start(1) || (is_op("(", 1) && [&] {
                            std::size_t k = 1;
                            while (is_op("(", k)) ++k;
                            return at_query_start(k);
                          }()))) {
      advance();
      break;
    }
    if (at_query_start() && !is_kw(Kw::TABLE) && !is_kw(Kw::VALUES)) break;  // CREATE TABLE t SELECT ... (MySQL)
    if ((is_kw(Kw::LIKE) || is_kw(Kw::CLONE)) && !view) return false;  // a copy of a table's shape
    if (is_op("(") || is_op("[") || is_op("{")) skip_group(); else advance();
  }
  st_.kind = view ? StatementKind::CreateView : StatementKind::CreateTable;
  st_.root = parse_query(model::kNoScope);
  return true;
}

void Parser::parse_assignment(ScopeId scope, std::vector<model::OutputColumn>& outputs) {
  if (is_op("(")) {  // (a, b) = (x, y) / (a, b) = (SELECT ...)
    advance();
    const std::size_t first = outputs.size();
    do {
      const Token& t = peek();
      model::QualifiedName name = parse_qualified_name("a column to set");
      model::OutputColumn out;
      out.name = std::move(name.back());
      out.has_alias = true;
      out.at = at(t);
      outputs.push_back(std::move(out));
    } while (accept_op(","));
    expect_op(")");
    expect_op("=");
    if (looks_like_query_in_parens()) {
      std::vector<model::ColumnRef> refs;
      std::vector<model::NestedQuery> subqueries;
      Sink sink{refs, subqueries, Clause::Select, scope};
      parse_subquery(sink);
      for (std::size_t i = first; i < outputs.size(); ++i) outputs[i].subqueries = subqueries;
      return;
    }
    accept_kw(Kw::ROW);
    expect_op("(");
    std::size_t i = first;
    do {
      if (i >= outputs.size()) fail("as many values as columns");
      Sink sink{outputs[i].refs, outputs[i].subqueries, Clause::Select, scope};
      parse_top_expr(sink);
      ++i;
    } while (accept_op(","));
    expect_op(")");
    return;
  }
  model::OutputColumn out;
  out.at = at(peek());
  model::QualifiedName name = parse_qualified_name("a column to set");
  out.name = std::move(name.back());
  out.has_alias = true;
  // =, and T-SQL's compound += -= *= /=
  if (!accept_op("=")) {
    if (peek().kind == Tok::Op && is_op("=", 1) && peek(1).begin == peek().end) {
      advance();
      advance();
    } else {
      fail("'=' after the column to set");
    }
  }
  Sink sink{out.refs, out.subqueries, Clause::Select, scope};
  parse_top_expr(sink);
  outputs.push_back(std::move(out));
}

void Parser::parse_update() {
  advance();  // UPDATE
  while (is_word("LOW_PRIORITY") || is_kw(Kw::IGNORE) || is_kw(Kw::ONLY)) advance();
  if (is_kw(Kw::TOP) && is_op("(", 1)) {
    advance();
    skip_group();
  }
  st_.kind = StatementKind::Update;
  const ScopeId s = st_.add_scope(ScopeKind::Select, model::kNoScope);
  st_.root = s;
  st_.scopes[static_cast<std::size_t>(s)].at = at(peek());
  parse_joined(s, model::JoinKind::None);
  expect_kw(Kw::SET);
  std::vector<model::OutputColumn> outputs;
  do parse_assignment(s, outputs); while (accept_op(","));
  st_.scopes[static_cast<std::size_t>(s)].outputs = std::move(outputs);
  if (accept_kw(Kw::FROM)) {
    const std::size_t before = st_.scopes[static_cast<std::size_t>(s)].sources.size();
    parse_joined(s, model::JoinKind::Comma);
    // UPDATE a SET ... FROM t a: the target is the FROM source named a.
    auto& sources = st_.scopes[static_cast<std::size_t>(s)].sources;
    const model::Source& target = sources.front();
    if (before == 1 && target.alias.empty() && target.table.size() == 1 && target.kind == model::SourceKind::Table) {
      for (std::size_t i = 1; i < sources.size(); ++i) {
        const model::Source& candidate = sources[i];
        if (candidate.kind == model::SourceKind::Table && !candidate.alias.empty() &&
            candidate.alias.text == target.table[0].text) {
          model::Source moved = std::move(sources[i]);
          sources.erase(sources.begin() + static_cast<std::ptrdiff_t>(i));
          moved.join = model::JoinKind::None;
          sources.front() = std::move(moved);
          if (sources.size() > 1 && sources[1].join == model::JoinKind::None) sources[1].join = model::JoinKind::Comma;
          break;
        }
      }
    }
  }
  {
    const model::Source& target = st_.scopes[static_cast<std::size_t>(s)].sources.front();
    st_.target = target.table;
  }
  if (accept_kw(Kw::WHERE)) {
    if (is_kw(Kw::CURRENT) && is_kw(Kw::OF, 1)) {
      pos_ = tokens_.size() - 1;
    } else {
      parse_clause_expression(s, Clause::Where);
    }
  }
  parse_query_tail(s);
  if (is_kw(Kw::RETURNING)) pos_ = tokens_.size() - 1;
}

void Parser::parse_merge() {
  advance();  // MERGE
  if (is_kw(Kw::TOP) && is_op("(", 1)) {
    advance();
    skip_group();
  }
  accept_kw(Kw::INTO);
  st_.kind = StatementKind::Merge;
  const ScopeId s = st_.add_scope(ScopeKind::Select, model::kNoScope);
  st_.root = s;
  const auto index = static_cast<std::size_t>(s);
  st_.scopes[index].at = at(peek());
  parse_table_factor(s, model::JoinKind::None);
  st_.target = st_.scopes[index].sources.front().table;
  expect_kw(Kw::USING);
  parse_table_factor(s, model::JoinKind::Inner);
  expect_kw(Kw::ON);
  parse_clause_expression(s, Clause::JoinOn);
  std::vector<model::OutputColumn> outputs;
  // UPDATE SET * / INSERT *: every column of the USING source.
  auto add_source_star = [&] {
    const model::Source& src = st_.scopes[index].sources.back();
    model::OutputColumn out;
    out.kind = model::OutputColumn::Kind::Star;
    out.name = model::Identifier{"*", false};
    out.star_qualifier = src.alias.empty() ? src.table : model::QualifiedName{src.alias};
    out.at = at(advance());
    outputs.push_back(std::move(out));
  };
  while (accept_kw(Kw::WHEN)) {
    accept_kw(Kw::NOT);
    expect_kw(Kw::MATCHED);
    if (accept_kw(Kw::BY)) {
      if (!accept_kw(Kw::TARGET)) expect_kw(Kw::SOURCE);
    }
    if (accept_kw(Kw::AND)) parse_clause_expression(s, Clause::Where);
    expect_kw(Kw::THEN);
    if (accept_kw(Kw::UPDATE)) {
      expect_kw(Kw::SET);
      if (is_op("*")) {
        add_source_star();
      } else {
        do parse_assignment(s, outputs); while (accept_op(","));
      }
    } else if (accept_kw(Kw::DELETE)) {
    } else if (accept_kw(Kw::INSERT)) {
      std::vector<model::Identifier> columns;
      if (is_op("*")) {
        add_source_star();
        continue;
      }
      if (is_op("(")) {
        advance();
        do {
          model::QualifiedName name = parse_qualified_name("a column name");
          columns.push_back(std::move(name.back()));
        } while (accept_op(","));
        expect_op(")");
      }
      if (accept_kw(Kw::ROW)) continue;
      expect_kw(Kw::VALUES);
      expect_op("(");
      std::size_t i = 0;
      do {
        model::OutputColumn out;
        out.at = at(peek());
        if (i < columns.size()) {
          out.name = columns[i];
          out.has_alias = true;
        } else {
          out.name = model::Identifier{"_col" + std::to_string(i), false};
          out.derived_name = true;
        }
        Sink sink{out.refs, out.subqueries, Clause::Select, s};
        parse_top_expr(sink);
        outputs.push_back(std::move(out));
        ++i;
      } while (accept_op(","));
      expect_op(")");
    } else if (accept_kw(Kw::DO)) {
      accept_word("NOTHING");
    } else {
      fail("UPDATE, DELETE or INSERT after THEN");
    }
  }
  st_.scopes[index].outputs = std::move(outputs);
}

}  // namespace sql_parser

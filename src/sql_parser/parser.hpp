// The statement parser: tokens of one statement in, one query-model statement
// out. Recursive descent; expressions are one precedence-climbing loop. It
// builds no syntax tree: expressions leave only the column references and
// sub-queries lineage needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "lineage/model/query_model.hpp"
#include "sql_parser/dialect.hpp"
#include "sql_parser/tokenizer.hpp"

namespace sql_parser {

namespace model = lineage::model;

// A statement that cannot be read. `fatal` ones (nesting too deep, a recovery
// that found no end) are never recovered inside the statement.
struct SyntaxError {
  std::string message;
  model::Position at;
  bool fatal = false;
};

// Where the references of the expression being read go, and how they count.
struct Sink {
  std::vector<model::ColumnRef>& refs;
  std::vector<model::NestedQuery>& subqueries;
  model::Clause clause;
  model::ScopeId scope;  // the scope the expression belongs to (parent of its sub-queries)
  model::Usage floor = model::Usage::Identity;  // raised inside functions and aggregates
  bool in_case_condition = false;
};

// What the caller of an expression needs to know about it.
struct ExprInfo {
  bool bare_column = false;   // a column reference and nothing else
  std::size_t name_token = 0; // bare_column: the token of its last name part
  // x::int of a bare column x: the column's name token, which names the
  // output (CAST(x AS int) is named by its text, as function calls are); 0 otherwise.
  std::size_t cast_column = 0;
  // `x (NAMED n)`: the token of n, which names the output as AS would; 0 otherwise.
  std::size_t named = 0;
};

class Parser {
 public:
  Parser(std::string_view text, const DialectRules& rules, const std::vector<Token>& tokens,
         model::Statement& statement) noexcept
      : text_(text), rules_(rules), tokens_(tokens), st_(statement), stack_floor_(lowest_stack()) {}

  // Fills the statement; throws SyntaxError.
  void parse_statement();

 private:
  friend struct DepthGuard;
  // ---- tokens (parser.cpp) ----
  const Token& peek(std::size_t k = 0) const noexcept {
    std::size_t i = pos_ + k;
    return i < tokens_.size() ? tokens_[i] : tokens_.back();
  }
  const Token& advance() noexcept {
    const Token& t = peek();
    if (pos_ + 1 < tokens_.size()) ++pos_;
    return t;
  }
  bool at_end() const noexcept { return peek().kind == Tok::End; }
  bool is_kw(Kw kw, std::size_t k = 0) const noexcept {
    const Token& t = peek(k);
    return t.kind == Tok::Word && t.kw == kw;
  }
  bool accept_kw(Kw kw) noexcept {
    if (!is_kw(kw)) return false;
    advance();
    return true;
  }
  void expect_kw(Kw kw);
  bool is_op(std::string_view op, std::size_t k = 0) const noexcept {
    const Token& t = peek(k);
    if (t.kind != Tok::Op || t.end - t.begin != op.size()) return false;
    if (op.size() == 1) return text_[t.begin] == op[0];
    return text_.compare(t.begin, op.size(), op) == 0;
  }
  bool accept_op(std::string_view op) noexcept {
    if (!is_op(op)) return false;
    advance();
    return true;
  }
  void expect_op(std::string_view op);
  // The word `upper` (written in upper case), in any case.
  bool is_word(std::string_view upper, std::size_t k = 0) const noexcept {
    const Token& t = peek(k);
    if (t.kind != Tok::Word || t.end - t.begin != upper.size()) return false;
    for (std::size_t i = 0; i < upper.size(); ++i) {
      char c = text_[t.begin + i];
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
      if (c != upper[i]) return false;
    }
    return true;
  }
  bool accept_word(std::string_view upper) noexcept;
  std::string_view text_of(const Token& t) const noexcept { return text_.substr(t.begin, t.end - t.begin); }
  static model::Position at(const Token& t) noexcept { return {t.line, t.column}; }
  [[noreturn]] void fail(std::string_view expected) const;
  [[noreturn]] void fail_at(const Token& t, std::string message, bool fatal) const;
  void warn(const Token& t, std::string message);
  // Skips a balanced (...) / [...] / {...} group starting at the current token.
  void skip_group();
  // Skips tokens (and whole bracketed groups) up to the next ',', ')', ']' or '}'
  // at this level: the rest of a list item.
  void skip_to_closing();
  std::size_t matching_close(std::size_t open) const;

  // ---- names (parser.cpp) ----
  bool at_name(std::size_t k = 0) const noexcept;
  bool is_reserved_for_expression(const Token& t) const noexcept;
  bool can_be_alias(const Token& t) const noexcept;
  model::Identifier identifier(const Token& t) const;
  void append_name_parts(const Token& t, model::QualifiedName& out) const;
  model::QualifiedName parse_qualified_name(const char* what);
  void join_dashed_name(model::QualifiedName& name);
  bool parse_alias(model::Identifier& alias, bool allow_string);
  std::vector<model::Identifier> parse_name_list();
  std::string expression_text(std::size_t first, std::size_t last) const;

  // ---- statements (statement_parser.cpp) ----
  bool skip_to_block_body();
  void parse_insert();
  void parse_create();
  bool parse_create_query(bool view);
  void parse_update();
  void parse_merge();
  void parse_other(std::size_t words);
  void become_other(std::string keyword);
  void parse_assignment(model::ScopeId scope, std::vector<model::OutputColumn>& outputs);
  void finish_statement();
  void attach_ctes(std::vector<model::Cte>&& ctes, model::ScopeId scope);

  // ---- queries (query_parser.cpp) ----
  model::ScopeId parse_query(model::ScopeId parent, std::vector<model::Cte>* pending_ctes = nullptr);
  bool parse_set_operator(model::SetOperator& op);
  void parse_join_tail(model::ScopeId scope);
  model::ScopeId parse_set_member(model::ScopeId parent);
  model::ScopeId parse_select(model::ScopeId parent);
  model::ScopeId parse_values(model::ScopeId parent);
  void parse_with(std::vector<model::Cte>& ctes, model::ScopeId parent);
  void parse_select_item(model::ScopeId scope, std::vector<model::OutputColumn>& outputs);
  void parse_from(model::ScopeId scope);
  void parse_joined(model::ScopeId scope, model::JoinKind first);
  void parse_table_factor(model::ScopeId scope, model::JoinKind join);
  bool parse_join_kind(model::JoinKind& kind);
  void parse_join_condition(model::ScopeId scope);
  void parse_source_suffixes(model::Source& source);
  void parse_lateral_view(model::ScopeId scope);
  void parse_pivot(model::ScopeId scope);
  void parse_query_tail(model::ScopeId scope);
  void parse_order_by(model::ScopeId scope, model::Clause clause);
  bool parse_ordinal(Sink& sink);
  void parse_clause_expression(model::ScopeId scope, model::Clause clause);
  void parse_expression_list(model::ScopeId scope, model::Clause clause);
  void parse_window_definitions(model::ScopeId scope);
  bool at_query_start(std::size_t k = 0) const noexcept;
  bool looks_like_query_in_parens() const noexcept;
  bool attribute_phrase_follows() const noexcept;
  void add_scope_refs(model::ScopeId scope, std::vector<model::ColumnRef>& refs,
                      std::vector<model::NestedQuery>& subqueries);

  // ---- expressions (expression_parser.cpp) ----
  ExprInfo parse_expr(Sink& sink, int min_precedence = 1);
  ExprInfo parse_top_expr(Sink& sink);  // marks refs Transformation unless a bare column
  ExprInfo parse_prefix(Sink& sink);
  ExprInfo parse_primary(Sink& sink);
  void parse_postfix(Sink& sink, ExprInfo& info);
  int binary_precedence() const noexcept;
  void parse_binary(Sink& sink, int precedence);
  void parse_parenthesised(Sink& sink, ExprInfo& info);
  void parse_function(Sink& sink, std::size_t name_token);
  void parse_call_suffixes(Sink& sink);
  void skip_sort_options();
  void skip_angle_type();
  void parse_qualified_name_or_string();
  void parse_function_arguments(Sink& sink, std::string_view name);
  void parse_argument(Sink& sink, std::string_view function, std::size_t index);
  bool parse_lambda(Sink& sink);
  void parse_case(Sink& sink);
  void parse_cast(Sink& sink);
  void parse_window(Sink& sink);
  void parse_interval(Sink& sink);
  void parse_subquery(Sink& sink);
  void parse_bracket_list(Sink& sink, const char* close);
  void parse_struct_literal(Sink& sink);
  void skip_type();
  void add_column(Sink& sink, model::QualifiedName&& name, const Token& at);
  void add_column_tokens(Sink& sink, std::size_t first, std::size_t last, bool star);
  // What a failed attempt undoes.
  struct Marks {
    std::size_t pos, refs, subqueries, scopes, lambdas;
  };
  Marks mark(const Sink& sink) const noexcept;
  void restore(Sink& sink, const Marks& marks);
  void spend_backtrack(std::size_t tokens);
  void recover_group(Sink& sink, std::size_t open, const SyntaxError& error);
  void collect_refs_between(Sink& sink, std::size_t first, std::size_t last);

  std::string_view text_;
  const DialectRules& rules_;
  const std::vector<Token>& tokens_;
  model::Statement& st_;
  std::size_t pos_ = 0;
  int depth_ = 0;
  // The lowest stack address the parse may reach, read once per statement:
  // every nesting level compares with it.
  std::uintptr_t stack_floor_;
  static std::uintptr_t lowest_stack() noexcept;
  std::vector<std::string_view> lambda_params_;
  std::size_t backtrack_budget_ = 0;  // tokens failed attempts may still re-read
  model::QualifiedName select_into_;  // SELECT ... INTO t of the statement's query
};

// Counts nesting, and ends the statement before the native stack runs short.
struct DepthGuard {
  explicit DepthGuard(Parser& p);
  ~DepthGuard() { --p_.depth_; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;
  Parser& p_;
};

// Largest nesting (parentheses, sub-queries, operators) a statement may have.
inline constexpr int kMaxDepth = 1000;

}  // namespace sql_parser

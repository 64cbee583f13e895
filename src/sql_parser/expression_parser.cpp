// Expressions: one precedence-climbing loop. Nothing is built but the column
// references (with their clause and usage) and the sub-queries they hold.
#include <algorithm>

#include "common/room.hpp"
#include "sql_parser/parser.hpp"
#include "sql_parser/word_lists.hpp"

namespace sql_parser {
namespace {

using model::Usage;

Usage at_least_transformation(Usage u) noexcept { return std::max(u, Usage::Transformation); }

// Restores what an expression changed in its sink when it is done (or thrown through).
struct SinkState {
  explicit SinkState(Sink& s) noexcept : sink(s), floor(s.floor), condition(s.in_case_condition) {}
  ~SinkState() {
    sink.floor = floor;
    sink.in_case_condition = condition;
  }
  SinkState(const SinkState&) = delete;
  SinkState& operator=(const SinkState&) = delete;
  Sink& sink;
  Usage floor;
  bool condition;
};

enum Precedence : int {
  kNone = 0, kOr = 1, kAnd = 2, kNot = 3, kCompare = 4, kBitwise = 5, kAdditive = 6,
  kMultiplicative = 7, kPower = 8, kUnary = 9, kPostfixOnly = 11,
};

bool one_of_ops(std::string_view op, std::initializer_list<std::string_view> ops) noexcept {
  return std::find(ops.begin(), ops.end(), op) != ops.end();
}

}  // namespace

ExprInfo Parser::parse_top_expr(Sink& sink) {
  const std::size_t mark = sink.refs.size();
  ExprInfo info = parse_expr(sink);
  if (!info.bare_column) {
    for (std::size_t i = mark; i < sink.refs.size(); ++i) {
      if (sink.refs[i].usage == Usage::Identity) sink.refs[i].usage = Usage::Transformation;
    }
  }
  return info;
}

ExprInfo Parser::parse_expr(Sink& sink, int min_precedence) {
  DepthGuard guard(*this);
  ExprInfo info = parse_prefix(sink);
  for (;;) {
    const int precedence = binary_precedence();
    if (precedence == kNone || precedence < min_precedence) break;
    info = ExprInfo{};
    parse_binary(sink, precedence);
  }
  return info;
}

ExprInfo Parser::parse_prefix(Sink& sink) {
  const Token& t = peek();
  if (t.kind == Tok::Word && (t.kw == Kw::NOT || t.kw == Kw::PRIOR || is_word("CONNECT_BY_ROOT"))) {
    advance();
    parse_expr(sink, t.kw == Kw::NOT ? kNot : kUnary);
    return {};
  }
  if (t.kind == Tok::Op) {
    std::string_view op = text_of(t);
    if (op == "-" || op == "+" || op == "~" || op == "!" || op == "@" || op == "|/") {
      advance();
      parse_expr(sink, kUnary);
      return {};
    }
  }
  if (t.kind == Tok::Word && t.kw == Kw::EXISTS && is_op("(", 1)) {
    advance();
    parse_subquery(sink);
    return {};
  }
  ExprInfo info = parse_primary(sink);
  parse_postfix(sink, info);
  return info;
}

void Parser::add_column(Sink& sink, model::QualifiedName&& name, const Token& t) {
  if (name.size() == 1 && !name[0].quoted) {
    for (std::string_view param : lambda_params_) {
      if (param == name[0].text) return;
    }
  }
  model::ColumnRef ref;
  ref.name = std::move(name.back());
  name.pop_back();
  ref.qualifier = std::move(name);
  ref.is_star = ref.name.text == "*" && !ref.name.quoted;
  ref.clause = sink.clause;
  ref.usage = sink.floor;
  ref.in_case_condition = sink.in_case_condition;
  ref.at = at(t);
  qm::make_room(sink.refs, 1);
  sink.refs.push_back(std::move(ref));
}

ExprInfo Parser::parse_primary(Sink& sink) {
  const Token& t = peek();
  switch (t.kind) {
    case Tok::Number:
    case Tok::Param:
      advance();
      return {};
    case Tok::String:
      while (peek().kind == Tok::String) advance();  // 'a' 'b' concatenates
      return {};
    case Tok::End:
    case Tok::Error:
      fail("an expression");
    case Tok::Op: {
      std::string_view op = text_of(t);
      if (op == "(") {
        ExprInfo info;
        parse_parenthesised(sink, info);
        return info;
      }
      if (op == "[") {
        parse_bracket_list(sink, "]");
        return {};
      }
      if (op == "{") {
        parse_struct_literal(sink);
        return {};
      }
      if (op == "*") {
        advance();
        add_column(sink, model::QualifiedName{model::Identifier{"*", false}}, t);
        return {};
      }
      if (op == ":" && at_name(1)) {  // :name parameter
        advance();
        advance();
        return {};
      }
      fail("an expression");
    }
    case Tok::Word:
    case Tok::QuotedName:
      break;
  }
  if (t.kind == Tok::Word) {
    switch (t.kw) {
      case Kw::CASE:
        parse_case(sink);
        return {};
      case Kw::CAST:
      case Kw::TRY_CAST:
        if (is_op("(", 1)) {
          advance();
          parse_cast(sink);
          return {};
        }
        break;
      case Kw::INTERVAL:
        parse_interval(sink);
        return {};
      case Kw::NULL_:
      case Kw::TRUE:
      case Kw::FALSE:
      case Kw::DEFAULT:
        advance();
        return {};
      case Kw::ARRAY:
        if (is_op("[", 1) || is_op("(", 1) || is_op("<", 1)) {
          advance();
          if (is_op("<")) skip_angle_type();
          if (is_op("[")) {
            parse_bracket_list(sink, "]");
          } else if (at_query_start(1)) {
            parse_subquery(sink);
          } else if (is_op("(")) {
            parse_bracket_list(sink, ")");
          }
          return {};
        }
        break;
      case Kw::SELECT:
      case Kw::WITH:
        fail("an expression (a sub-query needs parentheses)");
      default:
        if (is_reserved_for_expression(t) && !is_op("(", 1)) fail("an expression");
        break;
    }
    if (is_op("(", 1) || is_op(".", 1)) {
      // a function or a qualified name: handled below
    } else if (peek(1).kind == Tok::String && is_typed_literal_type(text_of(t))) {
      advance();  // DATE '2024-01-01'
      advance();
      return {};
    } else if (is_niladic(text_of(t))) {
      advance();
      return {};
    }
  }
  // A dotted name: a column, t.*, or a function.
  const std::size_t first = pos_;
  std::size_t last = first;
  advance();
  bool star = false;
  while (is_op(".")) {
    if (is_op("*", 1)) {
      advance();
      last = pos_;
      advance();
      star = true;
      break;
    }
    if (!at_name(1)) break;
    advance();
    last = pos_;
    advance();
  }
  if (!star && is_op("(") && !attribute_phrase_follows()) {
    parse_function(sink, last);
    return {};
  }
  add_column_tokens(sink, first, last, star);
  ExprInfo info;
  info.bare_column = !star;
  info.name_token = last;
  return info;
}

// The column named by the dotted name from token `first` to `last` (every
// other token a '.'); `star`: the last is '*'.
void Parser::add_column_tokens(Sink& sink, std::size_t first, std::size_t last, bool star) {
  if (rules_.dotted_quoted_names()) {  // a quoted part may hold several
    model::QualifiedName name;
    for (std::size_t i = first; i < last; i += 2) append_name_parts(tokens_[i], name);
    if (star) {
      name.push_back(model::Identifier{"*", false});
    } else {
      append_name_parts(tokens_[last], name);
    }
    add_column(sink, std::move(name), tokens_[first]);
    return;
  }
  if (first == last && !star && tokens_[first].kind == Tok::Word) {
    const std::string_view text = text_of(tokens_[first]);
    for (std::string_view param : lambda_params_) {
      if (param == text) return;
    }
  }
  model::ColumnRef ref;
  if (last > first) {
    ref.qualifier.reserve((last - first) / 2);
    for (std::size_t i = first; i < last; i += 2) ref.qualifier.push_back(identifier(tokens_[i]));
  }
  if (star) {
    ref.name = model::Identifier{"*", false};
    ref.is_star = true;
  } else {
    ref.name = identifier(tokens_[last]);
  }
  ref.clause = sink.clause;
  ref.usage = sink.floor;
  ref.in_case_condition = sink.in_case_condition;
  ref.at = at(tokens_[first]);
  qm::make_room(sink.refs, 1);
  sink.refs.push_back(std::move(ref));
}

void Parser::parse_postfix(Sink& sink, ExprInfo& info) {
  for (;;) {
    const Token& t = peek();
    if (t.kind == Tok::Op) {
      std::string_view op = text_of(t);
      if (op == "::") {
        const std::size_t column = info.bare_column ? info.name_token : info.cast_column;
        advance();
        skip_type();
        info.bare_column = false;
        info.cast_column = column;
        continue;
      } else if (op == "[" && !rules_.bracket_identifiers()) {
        parse_bracket_list(sink, "]");
      } else if (op == "." && (at_name(1) || is_op("*", 1))) {
        advance();
        advance();
      } else if (op == ":" && rules_.colon_paths() && at_name(1)) {
        advance();
        advance();
      } else if (op == "->" || op == "->>" || op == "#>" || op == "#>>") {
        advance();
        parse_expr(sink, kPostfixOnly);
      } else if (attribute_phrase_follows()) {
        // A heading or display format leaves the value and its name as they
        // are; NAMED renames a column as AS would.
        const bool named = is_word("NAMED", 1);
        advance();
        advance();
        if (named) info.named = pos_;
        advance();
        advance();
        continue;
      } else {
        return;
      }
    } else if (t.kind == Tok::Word && t.kw == Kw::COLLATE) {
      advance();
      if (at_name() || peek().kind == Tok::String) parse_qualified_name_or_string();
    } else if (t.kind == Tok::Word && t.kw == Kw::AT && is_kw(Kw::TIME, 1) && is_kw(Kw::ZONE, 2)) {
      advance();
      advance();
      advance();
      parse_expr(sink, kPostfixOnly);
    } else {
      return;
    }
    info.bare_column = false;
    info.cast_column = 0;
  }
}

// `(TITLE 'heading')`, `(FORMAT 'mask')` or `(NAMED name)` after a value:
// an attribute phrase of the Teradata kind, never a call.
bool Parser::attribute_phrase_follows() const noexcept {
  if (!is_op("(") || !is_op(")", 3)) return false;
  if (is_word("TITLE", 1) || is_word("FORMAT", 1)) return peek(2).kind == Tok::String;
  return is_word("NAMED", 1) && at_name(2);
}

int Parser::binary_precedence() const noexcept {
  const Token& t = peek();
  if (t.kind == Tok::Word) {
    switch (t.kw) {
      case Kw::OR: return kOr;
      case Kw::AND: return kAnd;
      case Kw::IS: case Kw::ISNULL: case Kw::NOTNULL: case Kw::IN: case Kw::LIKE: case Kw::ILIKE:
      case Kw::RLIKE: case Kw::REGEXP: case Kw::GLOB: case Kw::BETWEEN: case Kw::SIMILAR:
        return kCompare;
      case Kw::NOT: {
        const Token& n = peek(1);
        if (n.kind != Tok::Word) return kNone;
        switch (n.kw) {
          case Kw::IN: case Kw::LIKE: case Kw::ILIKE: case Kw::RLIKE: case Kw::REGEXP: case Kw::GLOB:
          case Kw::BETWEEN: case Kw::SIMILAR:
            return kCompare;
          default:
            return kNone;
        }
      }
      case Kw::DIV: case Kw::MOD: return kMultiplicative;
      default:
        if (is_word("XOR")) return kOr;
        return kNone;
    }
  }
  if (t.kind != Tok::Op) return kNone;
  std::string_view op = text_of(t);
  if (op.size() == 1) {
    switch (op[0]) {
      case '=': case '<': case '>': case '~': return kCompare;
      case '|': case '&': case '^': case '#': return kBitwise;
      case '+': case '-': return kAdditive;
      case '*': case '/': case '%': return kMultiplicative;
      default: return kNone;  // , ( ) [ ] { } . : ; ! ? @ $
    }
  }
  if (op == "||") return kAdditive;
  if (op == "**") return kPower;
  if (op == "//") return kMultiplicative;
  if (op == "<<" || op == ">>") return kBitwise;
  if (one_of_ops(op, {"::", "=>", ":=", "->", "->>", "#>", "#>>"})) return kNone;
  return kCompare;  // <=, <>, !=, ==, <=>, @>, <@, &&, ?|, !~, ~* and the like
}

void Parser::parse_binary(Sink& sink, int precedence) {
  const Token& t = advance();
  if (t.kind == Tok::Word) {
    const Kw kw = t.kw == Kw::NOT ? advance().kw : t.kw;  // NOT IN, NOT LIKE, NOT BETWEEN ...
    switch (kw) {
      case Kw::IS:
        accept_kw(Kw::NOT);
        if (accept_kw(Kw::DISTINCT)) {
          expect_kw(Kw::FROM);
          parse_expr(sink, kBitwise);
        } else if (is_op("(")) {
          skip_group();
        } else if (at_name() || peek().kind == Tok::String) {
          advance();  // NULL, TRUE, FALSE, UNKNOWN, JSON ...
          if (is_kw(Kw::OF) && is_op("(", 1)) {
            advance();
            skip_group();
          }
        } else {
          fail("NULL, TRUE, FALSE or DISTINCT FROM after IS");
        }
        return;
      case Kw::ISNULL:
      case Kw::NOTNULL:
        return;
      case Kw::IN:
        if (is_op("(")) {
          if (at_query_start(1)) {
            parse_subquery(sink);
          } else {
            parse_bracket_list(sink, ")");
          }
        } else {
          parse_expr(sink, kBitwise);  // POSITION(a IN b), x IN UNNEST(arr)
        }
        return;
      case Kw::BETWEEN:
        if (!accept_word("SYMMETRIC")) accept_word("ASYMMETRIC");
        parse_expr(sink, kBitwise);
        expect_kw(Kw::AND);
        parse_expr(sink, kBitwise);
        return;
      case Kw::SIMILAR:
        expect_kw(Kw::TO);
        [[fallthrough]];
      case Kw::LIKE: case Kw::ILIKE: case Kw::RLIKE: case Kw::REGEXP: case Kw::GLOB:
        if ((is_kw(Kw::ANY) || is_kw(Kw::ALL) || is_kw(Kw::SOME)) && is_op("(", 1)) advance();
        parse_expr(sink, kBitwise);
        if (accept_kw(Kw::ESCAPE)) parse_expr(sink, kBitwise);
        return;
      default:
        parse_expr(sink, precedence + 1);
        return;
    }
  }
  // Comparison with ANY / ALL / SOME (sub-query or array).
  if (precedence == kCompare && (is_kw(Kw::ANY) || is_kw(Kw::ALL) || is_kw(Kw::SOME)) && is_op("(", 1)) {
    advance();
    ExprInfo ignored;
    parse_parenthesised(sink, ignored);
    return;
  }
  parse_expr(sink, precedence + 1);
}

// ( expr ), ( expr, ... ), ( query ), (): an unreadable inside is skipped with
// its column references kept.
void Parser::parse_parenthesised(Sink& sink, ExprInfo& info) {
  if (at_query_start(1) || (is_op("(", 1) && looks_like_query_in_parens())) {
    parse_subquery(sink);
    info = {};
    return;
  }
  const std::size_t open = pos_;
  advance();
  if (accept_op(")")) {
    info = {};
    return;
  }
  const Marks marks = mark(sink);
  try {
    ExprInfo inner = parse_expr(sink);
    bool single = true;
    while (accept_op(",")) {
      single = false;
      parse_expr(sink);
    }
    expect_op(")");
    info = single ? inner : ExprInfo{};
  } catch (SyntaxError& error) {
    if (error.fatal) throw;
    restore(sink, marks);
    recover_group(sink, open, error);
    info = {};
  }
}

void Parser::parse_subquery(Sink& sink) {
  expect_op("(");
  model::NestedQuery nested;
  nested.scope = parse_query(sink.scope);
  expect_op(")");
  nested.clause = sink.clause;
  nested.usage = at_least_transformation(sink.floor);
  nested.in_case_condition = sink.in_case_condition;
  sink.subqueries.push_back(nested);
}

void Parser::parse_bracket_list(Sink& sink, const char* close) {
  const std::size_t open = pos_;
  advance();
  if (accept_op(close)) return;
  const Marks marks = mark(sink);
  try {
    for (;;) {
      if (!is_op(":")) parse_expr(sink);
      if (accept_op(",") || accept_op(":")) {
        if (is_op(close)) break;  // a trailing comma, or an open slice [1:]
        continue;
      }
      break;
    }
    expect_op(close);
  } catch (SyntaxError& error) {
    if (error.fatal) throw;
    restore(sink, marks);
    recover_group(sink, open, error);
  }
}

// DuckDB's {'a': x, 'b': y}.
void Parser::parse_struct_literal(Sink& sink) {
  const std::size_t open = pos_;
  advance();
  const Marks marks = mark(sink);
  try {
    while (!accept_op("}")) {
      advance();  // the key
      expect_op(":");
      parse_expr(sink);
      if (!accept_op(",")) {
        expect_op("}");
        break;
      }
    }
  } catch (SyntaxError& error) {
    if (error.fatal) throw;
    restore(sink, marks);
    recover_group(sink, open, error);
  }
}

void Parser::parse_case(Sink& sink) {
  advance();  // CASE
  SinkState state(sink);
  sink.floor = at_least_transformation(sink.floor);
  const bool outer_condition = sink.in_case_condition;
  if (!is_kw(Kw::WHEN)) {
    sink.in_case_condition = true;  // CASE x WHEN 1: x decides the branch
    parse_expr(sink);
    sink.in_case_condition = outer_condition;
  }
  bool any = false;
  while (accept_kw(Kw::WHEN)) {
    any = true;
    sink.in_case_condition = true;
    parse_expr(sink);
    sink.in_case_condition = outer_condition;
    expect_kw(Kw::THEN);
    parse_expr(sink);
  }
  if (!any) fail("WHEN");
  if (accept_kw(Kw::ELSE)) parse_expr(sink);
  expect_kw(Kw::END);
}

// CAST(x AS type [FORMAT '...']), at its '('.
void Parser::parse_cast(Sink& sink) {
  const std::size_t open = pos_;
  advance();
  SinkState state(sink);
  sink.floor = at_least_transformation(sink.floor);
  const Marks marks = mark(sink);
  try {
    parse_expr(sink);
    if (accept_kw(Kw::AS)) {
      skip_type();
      while (!is_op(")")) {
        if (at_end()) fail("')'");
        if (is_op("(")) skip_group(); else advance();
      }
    } else if (accept_op(",")) {
      skip_type();  // CAST(x, type) as some dialects write it
    }
    expect_op(")");
  } catch (SyntaxError& error) {
    if (error.fatal) throw;
    restore(sink, marks);
    recover_group(sink, open, error);
  }
}

void Parser::parse_interval(Sink& sink) {
  advance();  // INTERVAL
  SinkState state(sink);
  sink.floor = at_least_transformation(sink.floor);
  if (peek().kind == Tok::String) {
    advance();
  } else {
    parse_expr(sink, kUnary);
  }
  if (peek().kind == Tok::Word && is_date_part(text_of(peek()))) {
    advance();
    if (accept_kw(Kw::TO) && peek().kind == Tok::Word) advance();
  }
}

// OVER ( [base] [PARTITION BY ...] [ORDER BY ...] [frame] ) or OVER name, after OVER.
void Parser::parse_window(Sink& sink) {
  if (!is_op("(")) {
    if (!at_name()) fail("a window name or '('");
    advance();
    return;
  }
  advance();
  Sink window{sink.refs, sink.subqueries, model::Clause::WindowPartition, sink.scope,
              Usage::Transformation, false};
  if (at_name() && !is_kw(Kw::PARTITION) && !is_kw(Kw::ORDER) && !is_kw(Kw::ROWS) &&
      !is_kw(Kw::RANGE) && !is_word("GROUPS"))
    advance();  // a named window this one extends
  if (is_kw(Kw::PARTITION) && is_kw(Kw::BY, 1)) {
    advance();
    advance();
    do parse_expr(window); while (accept_op(","));
  }
  if (is_kw(Kw::ORDER) && is_kw(Kw::BY, 1)) {
    advance();
    advance();
    window.clause = model::Clause::WindowOrder;
    do {
      parse_expr(window);
      skip_sort_options();
    } while (accept_op(","));
  }
  while (!is_op(")")) {  // the frame: ROWS BETWEEN ... AND ...
    if (at_end()) fail("')' after the window");
    if (is_op("(")) skip_group(); else advance();
  }
  advance();
}

void Parser::skip_sort_options() {
  if (!accept_kw(Kw::ASC)) accept_kw(Kw::DESC);
  if (accept_kw(Kw::USING)) advance();
  if (accept_kw(Kw::NULLS)) {
    if (!accept_kw(Kw::FIRST)) accept_kw(Kw::LAST);
  }
}

void Parser::parse_function(Sink& sink, std::size_t name_token) {
  std::string_view name = text_of(tokens_[name_token]);
  if (tokens_[name_token].kind == Tok::Word) {
    Kw kw = tokens_[name_token].kw;
    if (kw == Kw::CAST || kw == Kw::TRY_CAST || is_word_text(name, "SAFE_CAST")) {
      parse_cast(sink);
      parse_call_suffixes(sink);
      return;
    }
  }
  SinkState state(sink);
  sink.floor = is_aggregate(name) ? Usage::Aggregation : at_least_transformation(sink.floor);
  parse_function_arguments(sink, name);
  parse_call_suffixes(sink);
}

// WITHIN GROUP (ORDER BY ...), FILTER (WHERE ...), IGNORE NULLS, OVER (...).
void Parser::parse_call_suffixes(Sink& sink) {
  SinkState state(sink);
  sink.floor = at_least_transformation(sink.floor);
  if (is_kw(Kw::WITHIN) && is_kw(Kw::GROUP, 1)) {
    advance();
    advance();
    expect_op("(");
    expect_kw(Kw::ORDER);
    expect_kw(Kw::BY);
    do {
      parse_expr(sink);
      skip_sort_options();
    } while (accept_op(","));
    expect_op(")");
  }
  if (is_kw(Kw::FILTER) && is_op("(", 1)) {
    advance();
    advance();
    expect_kw(Kw::WHERE);
    parse_expr(sink);
    expect_op(")");
  }
  if ((is_kw(Kw::IGNORE) || is_kw(Kw::RESPECT)) && is_kw(Kw::NULLS, 1)) {
    advance();
    advance();
  }
  if (accept_kw(Kw::OVER)) parse_window(sink);
}

void Parser::parse_function_arguments(Sink& sink, std::string_view function) {
  const std::size_t open = pos_;
  expect_op("(");
  if (accept_op(")")) return;
  const Marks marks = mark(sink);
  try {
    if (!accept_kw(Kw::DISTINCT) && is_kw(Kw::ALL) && !is_op(")", 1) && !is_op(",", 1)) advance();
    std::size_t index = 0;
    for (;;) {
      parse_argument(sink, function, index++);
      if (accept_op(",")) continue;
      if (is_kw(Kw::ORDER) && is_kw(Kw::BY, 1)) {  // array_agg(x ORDER BY y)
        advance();
        advance();
        continue;
      }
      if (accept_kw(Kw::FROM) || accept_kw(Kw::FOR) || accept_word("PLACING") ||
          accept_kw(Kw::IN) || accept_word("SEPARATOR") || accept_kw(Kw::LIMIT) ||
          accept_kw(Kw::USING))
        continue;
      if ((is_kw(Kw::IGNORE) || is_kw(Kw::RESPECT)) && is_kw(Kw::NULLS, 1)) {
        advance();
        advance();
      }
      if (is_kw(Kw::ON) && is_word("OVERFLOW", 1)) {  // LISTAGG(... ON OVERFLOW TRUNCATE)
        while (!is_op(")") && !at_end()) advance();
      }
      break;
    }
    expect_op(")");
  } catch (SyntaxError& error) {
    if (error.fatal) throw;
    restore(sink, marks);
    recover_group(sink, open, error);
  }
}

void Parser::parse_argument(Sink& sink, std::string_view function, std::size_t index) {
  if (rules_.lambdas() && parse_lambda(sink)) return;
  if (at_name() && (is_op("=>", 1) || is_op(":=", 1))) {  // name => value
    advance();
    advance();
  }
  if ((is_word("LEADING") || is_word("TRAILING") || is_word("BOTH")) && !is_op(",", 1) && !is_op(")", 1))
    advance();  // TRIM(LEADING 'x' FROM y)
  if (is_kw(Kw::FROM)) return;  // TRIM(FROM y)
  const Token& t = peek();
  if (t.kind == Tok::Word && (is_op(",", 1) || is_op(")", 1) || is_kw(Kw::FROM, 1))) {
    // A date part (DATEADD(day, ...), EXTRACT(year FROM ...)) or a type
    // (CONVERT(int, x)) is no column.
    if ((is_date_function(function) && is_date_part(text_of(t))) ||
        (is_word_text(function, "CONVERT") && is_typed_literal_type(text_of(t)))) {
      advance();
      return;
    }
  }
  SinkState state(sink);
  if (index == 0 && is_conditional_function(function)) sink.in_case_condition = true;
  parse_expr(sink);
  if (accept_kw(Kw::AS)) skip_type();  // STRUCT(a AS x), CONVERT-like forms
  skip_sort_options();
}

// x -> body, (x, y) -> body; false (nothing read) when no lambda starts here.
bool Parser::parse_lambda(Sink& sink) {
  std::size_t params = 0;
  std::size_t arrow = 0;
  if (peek().kind == Tok::Word && is_op("->", 1)) {
    params = 1;
    arrow = 1;
  } else if (is_op("(")) {
    std::size_t k = 1;
    while (peek(k).kind == Tok::Word && (is_op(",", k + 1) || is_op(")", k + 1))) {
      ++params;
      if (is_op(")", k + 1)) {
        k += 2;
        break;
      }
      k += 2;
    }
    if (params == 0 || !is_op(")", k - 1) || !is_op("->", k)) return false;
    arrow = k;
  } else {
    return false;
  }
  const Tok body = peek(arrow + 1).kind;
  if (body == Tok::String || body == Tok::Number) return false;  // JSON: col -> 'key'
  const std::size_t saved = lambda_params_.size();
  for (std::size_t k = 0; k < arrow; ++k) {
    if (peek(k).kind == Tok::Word) lambda_params_.push_back(text_of(peek(k)));
  }
  for (std::size_t k = 0; k <= arrow; ++k) advance();
  struct Pop {
    std::vector<std::string_view>& v;
    std::size_t n;
    ~Pop() { v.resize(n); }
  } pop{lambda_params_, saved};
  SinkState state(sink);
  sink.floor = at_least_transformation(sink.floor);
  parse_expr(sink);
  return true;
}

// A type name: INT, VARCHAR(10), DOUBLE PRECISION, TIMESTAMP WITH TIME ZONE,
// ARRAY<STRUCT<a INT>>, INT[], numeric(10, 2).
void Parser::skip_type() {
  if (!at_name()) fail("a type");
  advance();
  while (is_op(".") && at_name(1)) {
    advance();
    advance();
  }
  for (;;) {
    if (is_word("PRECISION") || is_word("VARYING") || is_word("UNSIGNED") || is_word("SIGNED")) {
      advance();
    } else if ((is_kw(Kw::WITH) || is_kw(Kw::WITHOUT)) && is_kw(Kw::TIME, 1) && is_kw(Kw::ZONE, 2)) {
      advance();
      advance();
      advance();
    } else {
      break;
    }
  }
  if (is_op("(")) skip_group();
  if (is_op("<")) skip_angle_type();
  while (is_op("[")) skip_group();
}

// <...> of ARRAY<...>, STRUCT<...>, MAP<...>; '>>' closes two.
void Parser::skip_angle_type() {
  int depth = 0;
  do {
    const Token& t = peek();
    if (t.kind == Tok::End || t.kind == Tok::Error) fail("'>' closing the type");
    std::string_view op = t.kind == Tok::Op ? text_of(t) : std::string_view{};
    if (op == "<") ++depth;
    else if (op == ">") --depth;
    else if (op == ">>") depth -= 2;
    else if (op == "<<") depth += 2;
    else if (op == "(" || op == "[") {
      skip_group();
      continue;
    }
    advance();
  } while (depth > 0);
}

void Parser::parse_qualified_name_or_string() {
  if (peek().kind == Tok::String) {
    advance();
    return;
  }
  parse_qualified_name("a name");
}

Parser::Marks Parser::mark(const Sink& sink) const noexcept {
  return Marks{pos_, sink.refs.size(), sink.subqueries.size(), st_.scopes.size(), lambda_params_.size()};
}

void Parser::restore(Sink& sink, const Marks& marks) {
  spend_backtrack(pos_ > marks.pos ? pos_ - marks.pos : 0);
  pos_ = marks.pos;
  sink.refs.resize(marks.refs);
  sink.subqueries.resize(marks.subqueries);
  st_.scopes.erase(st_.scopes.begin() + static_cast<std::ptrdiff_t>(marks.scopes), st_.scopes.end());
  lambda_params_.resize(marks.lambdas);
}

void Parser::spend_backtrack(std::size_t tokens) {
  if (tokens + 1 > backtrack_budget_) fail_at(peek(), "too much to re-read in this statement", true);
  backtrack_budget_ -= tokens + 1;
}

// The group opened at `open` could not be read: keep what it names, skip to
// its close and say so.
void Parser::recover_group(Sink& sink, std::size_t open, const SyntaxError& error) {
  const std::size_t close = matching_close(open);
  const Token& start = tokens_[open];
  warn(start, "read only the column names between line " + std::to_string(start.line) + ", column " +
                  std::to_string(start.column) + " and its closing bracket: " + error.message + " (line " +
                  std::to_string(error.at.line) + ", column " + std::to_string(error.at.column) + ")");
  SinkState state(sink);
  sink.floor = at_least_transformation(sink.floor);
  collect_refs_between(sink, open + 1, close);
  pos_ = close;
  advance();
}

// Every dotted name between two tokens that is not a function, keyword or type.
void Parser::collect_refs_between(Sink& sink, std::size_t first, std::size_t last) {
  for (std::size_t i = first; i < last;) {
    const Token& t = tokens_[i];
    const bool name = (t.kind == Tok::Word && t.kw == Kw::None) || t.kind == Tok::QuotedName;
    const bool after_dot_or_type = i > first && tokens_[i - 1].kind == Tok::Op &&
                                   (text_of(tokens_[i - 1]) == "." || text_of(tokens_[i - 1]) == "::");
    const bool after_as = i > first && tokens_[i - 1].kind == Tok::Word && tokens_[i - 1].kw == Kw::AS;
    if (!name || after_dot_or_type || after_as || is_niladic(text_of(t))) {
      ++i;
      continue;
    }
    model::QualifiedName parts;
    append_name_parts(t, parts);
    std::size_t j = i + 1;
    while (j + 1 < last && tokens_[j].kind == Tok::Op && text_of(tokens_[j]) == "." &&
           (tokens_[j + 1].kind == Tok::Word || tokens_[j + 1].kind == Tok::QuotedName)) {
      append_name_parts(tokens_[j + 1], parts);
      j += 2;
    }
    const bool call = j < last && tokens_[j].kind == Tok::Op && text_of(tokens_[j]) == "(";
    const bool literal = j < last && tokens_[j].kind == Tok::String;
    if (!call && !literal) add_column(sink, std::move(parts), t);
    i = j;
  }
}

}  // namespace sql_parser

// Token access, names and errors shared by the statement, query and
// expression parsers.
#include "sql_parser/parser.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstdint>

namespace sql_parser {
namespace {

}  // namespace

// The lowest stack address this thread's parse may reach: its stack's end plus
// a reserve for the frames between two depth checks and for whoever called us.
std::uintptr_t Parser::lowest_stack() noexcept {
  thread_local std::uintptr_t floor = 0;
  thread_local bool known = false;
  if (!known) {
    known = true;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      void* base = nullptr;
      std::size_t size = 0;
      if (pthread_attr_getstack(&attr, &base, &size) == 0 && base != nullptr) {
        std::size_t reserve = std::min<std::size_t>(64 * 1024, size / 2);
        floor = reinterpret_cast<std::uintptr_t>(base) + reserve;
      }
      pthread_attr_destroy(&attr);
    }
  }
  return floor;
}

namespace {

// Words that end an expression or a list instead of naming a column.
bool ends_expression(Kw kw) noexcept {
  switch (kw) {
    case Kw::AND: case Kw::AS: case Kw::BETWEEN: case Kw::BY: case Kw::ELSE: case Kw::END:
    case Kw::EXCEPT: case Kw::FROM: case Kw::GROUP: case Kw::HAVING: case Kw::IN: case Kw::INTERSECT:
    case Kw::INTO: case Kw::IS: case Kw::JOIN: case Kw::LIKE: case Kw::ILIKE: case Kw::RLIKE:
    case Kw::LIMIT: case Kw::ON: case Kw::OR: case Kw::ORDER: case Kw::SELECT: case Kw::THEN:
    case Kw::UNION: case Kw::USING: case Kw::WHEN: case Kw::WHERE: case Kw::WINDOW: case Kw::QUALIFY:
    case Kw::NATURAL: case Kw::CROSS: case Kw::INNER: case Kw::OUTER: case Kw::FULL:
    case Kw::FETCH: case Kw::REGEXP:
      return true;
    default:
      return false;
  }
}

// Words that cannot be a table's or column's alias written without AS.
bool not_an_alias(Kw kw) noexcept {
  if (ends_expression(kw)) return true;
  switch (kw) {
    case Kw::LEFT: case Kw::RIGHT: case Kw::LATERAL: case Kw::ANTI: case Kw::SEMI:
    case Kw::STRAIGHT_JOIN: case Kw::OFFSET: case Kw::FOR: case Kw::TABLESAMPLE: case Kw::PIVOT:
    case Kw::UNPIVOT: case Kw::SORT: case Kw::DISTRIBUTE: case Kw::CLUSTER: case Kw::RETURNING:
    case Kw::START: case Kw::CONNECT: case Kw::MINUS: case Kw::SET: case Kw::ESCAPE:
    case Kw::COLLATE: case Kw::NOT: case Kw::ASC: case Kw::DESC: case Kw::PARTITION: case Kw::WITH:
    case Kw::VALUES: case Kw::DO: case Kw::OVER: case Kw::NULLS: case Kw::APPLY: case Kw::MATCH:
    case Kw::OPTIONS: case Kw::STORED: case Kw::LOCATION: case Kw::TBLPROPERTIES:
    case Kw::PARTITIONED: case Kw::CLUSTERED: case Kw::COMMENT: case Kw::FILTER:
    case Kw::WITHIN: case Kw::IGNORE: case Kw::RESPECT: case Kw::AT: case Kw::GLOB:
    case Kw::SIMILAR: case Kw::OUTPUT: case Kw::MODEL: case Kw::LOCK:
      return true;
    default:
      return false;
  }
}

}  // namespace

DepthGuard::DepthGuard(Parser& p) : p_(p) {
  ++p_.depth_;
  char probe = 0;
  if (p_.depth_ > kMaxDepth || reinterpret_cast<std::uintptr_t>(&probe) < p_.stack_floor_) {
    p_.fail_at(p_.peek(), "nesting deeper than " + std::to_string(kMaxDepth) + " levels", true);
  }
}

void Parser::fail_at(const Token& t, std::string message, bool fatal) const {
  throw SyntaxError{std::move(message), at(t), fatal};
}

void Parser::fail(std::string_view expected) const {
  const Token& t = peek();
  std::string message = "expected ";
  message.append(expected);
  if (t.kind == Tok::End) {
    message += ", found the end of the statement";
  } else if (t.kind == Tok::Error) {
    message = "cannot read ";
    message += describe(t.error);
  } else {
    std::string_view found = text_of(t);
    if (found.size() > 40) found = found.substr(0, 40);
    message += ", found '";
    message.append(found);
    message += "'";
  }
  fail_at(t, std::move(message), t.kind == Tok::Error);
}

void Parser::warn(const Token& t, std::string message) {
  model::Problem problem;
  problem.severity = model::Problem::Severity::Warning;
  problem.message = std::move(message);
  problem.at = at(t);
  st_.problems.push_back(std::move(problem));
}

void Parser::expect_kw(Kw kw) {
  if (!accept_kw(kw)) fail(keyword_text(kw));
}

void Parser::expect_op(std::string_view op) {
  if (accept_op(op)) return;
  std::string expected = "'";
  expected.append(op);
  expected += "'";
  fail(expected);
}

bool Parser::accept_word(std::string_view upper) noexcept {
  if (!is_word(upper)) return false;
  advance();
  return true;
}

std::size_t Parser::matching_close(std::size_t open) const {
  int depth = 0;
  for (std::size_t i = open; i < tokens_.size(); ++i) {
    const Token& t = tokens_[i];
    if (t.kind == Tok::Error) break;
    if (t.kind != Tok::Op || t.end != t.begin + 1) continue;
    char c = text_[t.begin];
    if (c == '(' || c == '[' || c == '{') {
      ++depth;
    } else if (c == ')' || c == ']' || c == '}') {
      if (--depth == 0) return i;
    }
  }
  const Token& t = tokens_[std::min(open, tokens_.size() - 1)];
  if (tokens_.back().kind == Tok::Error || (tokens_.size() > 1 && tokens_[tokens_.size() - 2].kind == Tok::Error)) {
    for (const Token& e : tokens_) {
      if (e.kind == Tok::Error) fail_at(e, std::string("cannot read ") + describe(e.error), true);
    }
  }
  fail_at(t, "this bracket is never closed", true);
}

void Parser::skip_group() {
  pos_ = matching_close(pos_);
  advance();
}

void Parser::skip_to_closing() {
  while (!at_end()) {
    const Token& t = peek();
    if (t.kind == Tok::Op && t.end == t.begin + 1) {
      char c = text_[t.begin];
      if (c == ')' || c == ',' || c == ']' || c == '}') return;
      if (c == '(' || c == '[' || c == '{') {
        skip_group();
        continue;
      }
    }
    if (t.kind == Tok::Error) fail("a token");
    advance();
  }
}

bool Parser::at_name(std::size_t k) const noexcept {
  const Token& t = peek(k);
  return t.kind == Tok::Word || t.kind == Tok::QuotedName;
}

bool Parser::is_reserved_for_expression(const Token& t) const noexcept {
  return t.kind == Tok::Word && ends_expression(t.kw);
}

bool Parser::can_be_alias(const Token& t) const noexcept {
  if (t.kind == Tok::QuotedName) return true;
  return t.kind == Tok::Word && !not_an_alias(t.kw);
}

model::Identifier Parser::identifier(const Token& t) const {
  std::string_view raw = text_of(t);
  if (t.kind == Tok::Word) return model::Identifier{std::string(raw), false};
  // A quoted name or a string: drop the quotes, undouble the closing quote.
  std::size_t open = 0;
  while (open < raw.size() && raw[open] != '"' && raw[open] != '\'' && raw[open] != '`' && raw[open] != '[') ++open;
  if (open >= raw.size() || raw.size() - open < 2) return model::Identifier{std::string(raw), true};
  char close = raw[open] == '[' ? ']' : raw[open];
  std::string_view inner = raw.substr(open + 1, raw.size() - open - 2);
  std::string out;
  out.reserve(inner.size());
  for (std::size_t i = 0; i < inner.size(); ++i) {
    out.push_back(inner[i]);
    if (inner[i] == close && i + 1 < inner.size() && inner[i + 1] == close) ++i;
  }
  return model::Identifier{std::move(out), true};
}

void Parser::append_name_parts(const Token& t, model::QualifiedName& out) const {
  model::Identifier id = identifier(t);
  if (t.kind == Tok::QuotedName && rules_.dotted_quoted_names() &&
      id.text.find('.') != std::string::npos) {
    std::size_t start = 0;
    for (;;) {
      std::size_t dot = id.text.find('.', start);
      out.push_back(model::Identifier{id.text.substr(start, dot == std::string::npos ? std::string::npos : dot - start), true});
      if (dot == std::string::npos) break;
      start = dot + 1;
    }
    return;
  }
  out.push_back(std::move(id));
}

model::QualifiedName Parser::parse_qualified_name(const char* what) {
  model::QualifiedName name;
  name.reserve(3);
  if (!at_name()) fail(what);
  append_name_parts(advance(), name);
  join_dashed_name(name);
  while (is_op(".")) {
    if (is_op(".", 1)) {  // db..table: the default schema
      advance();
      continue;
    }
    if (!at_name(1)) break;
    advance();
    append_name_parts(advance(), name);
    join_dashed_name(name);
  }
  return name;
}

// BigQuery's project names may hold dashes unquoted: my-project.dataset.t.
void Parser::join_dashed_name(model::QualifiedName& name) {
  if (!rules_.is(Dialect::Bigquery) || name.back().quoted) return;
  while (is_op("-") && peek().begin == tokens_[pos_ - 1].end && peek(1).begin == peek().end &&
         (peek(1).kind == Tok::Word || peek(1).kind == Tok::Number)) {
    advance();
    const Token& part = advance();
    name.back().text += '-';
    name.back().text.append(text_of(part));
  }
}

// [AS] alias; true when one was read.
bool Parser::parse_alias(model::Identifier& alias, bool allow_string) {
  if (accept_kw(Kw::AS)) {
    const Token& t = peek();
    if (at_name() || (t.kind == Tok::String && allow_string)) {
      alias = identifier(advance());
      return true;
    }
    fail("a name after AS");
  }
  const Token& t = peek();
  if (can_be_alias(t) || (allow_string && t.kind == Tok::String)) {
    alias = identifier(advance());
    return true;
  }
  return false;
}

// ( a, b, c ): names, each possibly followed by anything up to ',' (types,
// comments, options).
std::vector<model::Identifier> Parser::parse_name_list() {
  std::vector<model::Identifier> names;
  expect_op("(");
  if (accept_op(")")) return names;
  for (;;) {
    if (!at_name()) fail("a column name");
    names.push_back(identifier(advance()));
    skip_to_closing();
    if (accept_op(",")) continue;
    expect_op(")");
    return names;
  }
}

std::string Parser::expression_text(std::size_t first, std::size_t last) const {
  constexpr std::size_t kLongest = 256;
  std::string_view raw = text_.substr(tokens_[first].begin, tokens_[last].end - tokens_[first].begin);
  std::string out;
  out.reserve(std::min(raw.size(), kLongest));
  bool blank = false;
  for (char c : raw) {
    if (c == ' ' || c == '\n' || c == '\t' || c == '\r') {
      blank = true;
      continue;
    }
    if (blank && !out.empty()) out.push_back(' ');
    blank = false;
    if (out.size() >= kLongest && (static_cast<unsigned char>(c) & 0xC0u) != 0x80u) break;
    out.push_back(c);
  }
  return out;
}

}  // namespace sql_parser

// The entry point: split the text into statements and read each on its own.
#include "sql_parser/parse_script.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>

#include "sql_parser/parser.hpp"
#include "sql_parser/scope_order.hpp"
#include "sql_parser/tokenizer.hpp"
#include "sql_parser/word_lists.hpp"

namespace sql_parser {

bool dialect_from_name(std::string_view name, Dialect& out) noexcept {
  struct Entry {
    std::string_view name;
    Dialect dialect;
  };
  static constexpr Entry kNames[] = {
      {"ANSI", Dialect::Ansi},           {"POSTGRES", Dialect::Postgres},   {"REDSHIFT", Dialect::Postgres},
      {"MYSQL", Dialect::Mysql},         {"SNOWFLAKE", Dialect::Snowflake}, {"BIGQUERY", Dialect::Bigquery},
      {"HIVE", Dialect::Hive},           {"SPARK", Dialect::Hive},          {"DATABRICKS", Dialect::Hive},
      {"DUCKDB", Dialect::Duckdb},       {"SQLITE", Dialect::Sqlite},       {"TSQL", Dialect::Tsql},
  };
  for (const Entry& e : kNames) {
    if (is_word_text(name, e.name)) {
      out = e.dialect;
      return true;
    }
  }
  return false;
}

namespace {

void fail_statement(model::Statement& st, const Token& first, std::string_view text, std::string message,
                    model::Position at) {
  model::Statement failed;
  failed.kind = model::StatementKind::Other;
  if (first.kind == Tok::Word) {
    for (char c : text.substr(first.begin, first.end - first.begin)) {
      failed.keyword.push_back((c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c);
    }
  }
  failed.problems = std::move(st.problems);
  model::Problem problem;
  problem.severity = model::Problem::Severity::Error;
  problem.message = std::move(message);
  problem.message += " (line " + std::to_string(at.line) + ", column " + std::to_string(at.column) + ")";
  problem.at = at;
  failed.problems.push_back(std::move(problem));
  failed.at = st.at;
  failed.text_begin = st.text_begin;
  failed.text_end = st.text_end;
  st = std::move(failed);
}

// The token buffer of one call, handed on to the next call on the same thread
// when it is small: most calls read a few short statements, and a fresh buffer
// each time costs more than tokenising them. A large one is freed.
struct TokenBuffer {
  static constexpr std::size_t kKeptCapacity = std::size_t{1} << 14;
  static thread_local std::vector<Token> kept;
  std::vector<Token> tokens;

  TokenBuffer() : tokens(std::move(kept)) { tokens.clear(); }
  ~TokenBuffer() {
    if (tokens.capacity() <= kKeptCapacity) kept = std::move(tokens);
  }
  TokenBuffer(const TokenBuffer&) = delete;
  TokenBuffer& operator=(const TokenBuffer&) = delete;
};

thread_local std::vector<Token> TokenBuffer::kept;

}  // namespace

std::vector<model::Statement> parse_script(std::string_view text, Dialect dialect) {
  std::vector<model::Statement> out;
  if (text.size() >= std::numeric_limits<std::uint32_t>::max()) {
    model::Statement st;
    model::Problem problem;
    problem.severity = model::Problem::Severity::Error;
    problem.message = "the text is larger than 4 GB";
    problem.at = {1, 1};
    st.problems.push_back(std::move(problem));
    st.at = {1, 1};
    out.push_back(std::move(st));
    return out;
  }
  const DialectRules rules{dialect};
  Tokenizer tokenizer(text, rules);
  TokenBuffer buffer;
  std::vector<Token>& tokens = buffer.tokens;
  // At most one token per byte (and the End token): reserved once, since pages
  // never written cost nothing, and reused by every statement, so a long
  // statement's tokens are never copied into a larger buffer as they grow.
  tokens.reserve(std::min<std::size_t>(text.size() + 16, std::size_t{1} << 24));
  while (tokenizer.next_statement(tokens)) {
    if (tokens.size() == 1) continue;  // only blanks, comments or ';'
    model::Statement st;
    const Token& first = tokens.front();
    st.at = {first.line, first.column};
    st.text_begin = first.begin;
    st.text_end = tokens[tokens.size() - 2].end;
    const Token* unreadable = nullptr;
    for (const Token& t : tokens) {
      if (t.kind == Tok::Error) {
        unreadable = &t;
        break;
      }
    }
    if (unreadable) {  // no reading can get past it: say so without trying
      fail_statement(st, first, text, std::string("cannot read ") + describe(unreadable->error),
                     {unreadable->line, unreadable->column});
      out.push_back(std::move(st));
      continue;
    }
    try {
      Parser parser(text, rules, tokens, st);
      parser.parse_statement();
      order_scopes_parent_first(st);
    } catch (const SyntaxError& error) {
      fail_statement(st, first, text, error.message, error.at);
    }
    out.push_back(std::move(st));
  }
  return out;
}

}  // namespace sql_parser

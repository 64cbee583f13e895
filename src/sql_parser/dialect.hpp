// What differs between dialects, asked by the tokenizer and the parser at the
// few places where they diverge. One parser serves them all.
#pragma once

#include "sql_parser/parse_script.hpp"

namespace sql_parser {

struct DialectRules {
  Dialect dialect = Dialect::Ansi;

  bool is(Dialect d) const noexcept { return dialect == d; }
  bool ansi() const noexcept { return dialect == Dialect::Ansi; }

  // "x" names a column (true) or is a string (false).
  bool double_quote_is_identifier() const noexcept {
    return !(is(Dialect::Mysql) || is(Dialect::Bigquery) || is(Dialect::Hive));
  }
  // `x` quotes a name.
  bool backtick_identifiers() const noexcept {
    return ansi() || is(Dialect::Mysql) || is(Dialect::Bigquery) || is(Dialect::Hive) ||
           is(Dialect::Sqlite) || is(Dialect::Duckdb);
  }
  // [x] quotes a name (otherwise '[' opens an array or subscript).
  bool bracket_identifiers() const noexcept { return is(Dialect::Tsql) || is(Dialect::Sqlite); }
  // Backslash escapes inside '...'.
  bool backslash_escapes() const noexcept {
    return is(Dialect::Mysql) || is(Dialect::Bigquery) || is(Dialect::Hive);
  }
  // $$...$$ and $tag$...$tag$ strings.
  bool dollar_quoted_strings() const noexcept {
    return ansi() || is(Dialect::Postgres) || is(Dialect::Snowflake) || is(Dialect::Duckdb);
  }
  // r'...' raw strings and '''...''' triple-quoted strings.
  bool raw_and_triple_strings() const noexcept {
    return ansi() || is(Dialect::Bigquery) || is(Dialect::Hive);
  }
  // '#' starts a comment (ansi: only as the first thing on a line).
  bool hash_comments() const noexcept { return is(Dialect::Mysql) || is(Dialect::Bigquery); }
  bool hash_comment_at_line_start() const noexcept { return ansi() || is(Dialect::Hive); }
  // /* /* */ */ nests.
  bool nested_comments() const noexcept {
    return ansi() || is(Dialect::Postgres) || is(Dialect::Snowflake) || is(Dialect::Duckdb) ||
           is(Dialect::Tsql);
  }
  // #name is a (temporary table) name.
  bool hash_identifiers() const noexcept { return is(Dialect::Tsql); }
  // x -> x + 1 inside function arguments.
  bool lambdas() const noexcept {
    return ansi() || is(Dialect::Hive) || is(Dialect::Snowflake) || is(Dialect::Duckdb) ||
           is(Dialect::Bigquery);
  }
  // a:b.c reads a semi-structured value.
  bool colon_paths() const noexcept { return ansi() || is(Dialect::Snowflake) || is(Dialect::Hive); }
  // BigQuery's `project.dataset.table` in one quoted part.
  bool dotted_quoted_names() const noexcept { return is(Dialect::Bigquery); }
};

}  // namespace sql_parser

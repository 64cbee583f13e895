// Our own SQL front-end: text in, one query-model statement per statement out.
#pragma once

#include <string_view>
#include <vector>

#include "lineage/model/query_model.hpp"

namespace sql_parser {

// The dialects we read. `ansi` is a permissive superset and the default.
enum class Dialect : unsigned char {
  Ansi, Postgres, Mysql, Snowflake, Bigquery, Hive, Duckdb, Sqlite, Tsql,
};

// "ansi", "postgres", "redshift", "mysql", "snowflake", "bigquery", "hive",
// "spark", "databricks", "duckdb", "sqlite", "tsql" (case-insensitive).
// False when the name is none of them.
bool dialect_from_name(std::string_view name, Dialect& out) noexcept;
// Those names, in lower case, as a list for messages.
inline constexpr const char* kDialectNames =
    "ansi, postgres, redshift, mysql, snowflake, bigquery, hive, spark, databricks, duckdb, sqlite, tsql";

// Splits `text` into statements (on ';' outside quotes and comments, or on a
// '/' alone on its line as SQL*Plus scripts end them) and reads each. Never
// throws for bad SQL: a statement that cannot be read comes back as
// kind Other with an Error problem saying what was expected and where (line and
// column in `text`), and the statements after it are still read. Empty
// statements (only blanks, comments or ';') are left out. Each statement's
// `at`, `text_begin` and `text_end` locate it in `text`. Throws
// std::bad_alloc when memory runs out; nesting deeper than the parser's own
// limit is an Error problem, never a native stack overflow.
std::vector<lineage::model::Statement> parse_script(std::string_view text, Dialect dialect);

}  // namespace sql_parser

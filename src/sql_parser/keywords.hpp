// The words the parser asks about, looked up once per word by the tokenizer.
#pragma once

#include <cstdint>
#include <string_view>

namespace sql_parser {

#define SQL_PARSER_KEYWORDS(X)                                                                  \
  X(ALL) X(ALTER) X(AND) X(ANTI) X(ANY) X(APPLY) X(ARRAY) X(AS) X(ASC) X(AT) X(BETWEEN) X(BY)    \
  X(CASE) X(CAST) X(CLUSTER) X(COLLATE) X(CREATE) X(CROSS) X(CUBE) X(CURRENT) X(DEFAULT)         \
  X(DELETE) X(DESC) X(DISTINCT) X(DISTRIBUTE) X(DIV) X(DO) X(ELSE) X(END) X(ESCAPE) X(EXCEPT)    \
  X(EXCLUDE) X(EXISTS) X(EXPLAIN) X(EXTRACT) X(FALSE) X(FETCH) X(FILTER) X(FIRST) X(FOLLOWING)   \
  X(FOR) X(FROM) X(FULL) X(GLOBAL) X(GLOB) X(GROUP) X(GROUPING) X(HAVING) X(IF) X(IGNORE)        \
  X(ILIKE) X(IN) X(INNER) X(INSERT) X(INTERSECT) X(INTERVAL) X(INTO) X(IS) X(ISNULL) X(JOIN)     \
  X(LAST) X(LATERAL) X(LEFT) X(LIKE) X(LIMIT) X(LOCAL) X(MATCH) X(MATCHED) X(MATERIALIZED)       \
  X(MERGE) X(MINUS) X(MOD) X(NATURAL) X(NOT) X(NOTNULL) X(NULL_) X(NULLS) X(OF) X(OFFSET) X(ON)   \
  X(ONLY) X(OR) X(ORDER) X(ORDINALITY) X(OUTER) X(OVER) X(OVERWRITE) X(PARTITION) X(PIVOT)        \
  X(PRECEDING) X(QUALIFY) X(RANGE) X(RECURSIVE) X(REGEXP) X(RENAME) X(REPLACE) X(RESPECT)        \
  X(RETURNING) X(RIGHT) X(RLIKE) X(ROLLUP) X(ROW) X(ROWS) X(SELECT) X(SEMI) X(SET) X(SETS)       \
  X(SIMILAR) X(SOME) X(SORT) X(SOURCE) X(STRAIGHT_JOIN) X(TABLE) X(TABLESAMPLE) X(TARGET)         \
  X(TEMP) X(TEMPORARY) X(THEN) X(TIME) X(TO) X(TOP) X(TRANSIENT) X(TRUE) X(TRY_CAST) X(UNBOUNDED) \
  X(UNION) X(UNIQUE) X(UNNEST) X(UNPIVOT) X(UPDATE) X(USING) X(VALUES) X(VIEW) X(WHEN) X(WHERE)  \
  X(WINDOW) X(WITH) X(WITHIN) X(ZONE) X(VALUE) X(USE) X(WITHOUT) X(EXTERNAL) X(VOLATILE)        \
  X(SECURE) X(UNLOGGED) X(MULTISET) X(UPSERT) X(KEY) X(DUPLICATE)    \
  X(CONFLICT) X(NOTHING) X(STORED) X(LOCATION) X(TBLPROPERTIES) X(PARTITIONED) X(CLUSTERED)       \
  X(OPTIONS) X(COMMENT) X(NO) X(DATA) X(CLONE) X(COPY) X(RETURNS)    \
  X(SYSTEM_TIME) X(CONNECT) X(START) X(PRIOR) X(MODEL) X(LOCK) X(SHARE) X(NOWAIT) X(SKIP)          \
  X(LOCKED) X(OUTPUT)

enum class Kw : std::uint16_t {
  None = 0,
#define SQL_PARSER_KW_ENUM(name) name,
  SQL_PARSER_KEYWORDS(SQL_PARSER_KW_ENUM)
#undef SQL_PARSER_KW_ENUM
};

// The keyword a word spells (any case), or Kw::None.
Kw keyword_of(std::string_view word) noexcept;

// The same when the word's hash is known: keyword_hash_step over its bytes
// in upper case, from kKeywordHashStart (the tokenizer hashes while it reads).
inline constexpr std::uint32_t kKeywordHashStart = 2166136261u;
constexpr std::uint32_t keyword_hash_step(std::uint32_t h, unsigned char upper) noexcept {
  return (h ^ upper) * 16777619u;
}
Kw keyword_of_hashed(std::string_view word, std::uint32_t hash) noexcept;

// Upper-case spelling of a keyword.
std::string_view keyword_text(Kw kw) noexcept;

}  // namespace sql_parser

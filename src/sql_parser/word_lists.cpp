#include "sql_parser/word_lists.hpp"

#include <initializer_list>

namespace sql_parser {
namespace {

char upper(char c) noexcept { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

bool in(std::string_view word, std::initializer_list<std::string_view> names) noexcept {
  for (std::string_view name : names) {
    if (is_word_text(word, name)) return true;
  }
  return false;
}

}  // namespace

bool is_word_text(std::string_view word, std::string_view name) noexcept {
  if (word.size() != name.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    if (upper(word[i]) != name[i]) return false;
  }
  return true;
}

bool is_aggregate(std::string_view f) noexcept {
  return in(f, {"SUM", "COUNT", "AVG", "MIN", "MAX", "ARRAY_AGG", "COLLECT_LIST", "COLLECT_SET",
                "STDDEV", "STDDEV_POP", "STDDEV_SAMP", "VARIANCE", "VAR_POP", "VAR_SAMP", "LISTAGG",
                "STRING_AGG", "GROUP_CONCAT", "ANY_VALUE", "APPROX_COUNT_DISTINCT", "MEDIAN",
                "PERCENTILE_CONT", "PERCENTILE_DISC", "BOOL_AND", "BOOL_OR", "EVERY", "COUNT_IF",
                "ARBITRARY", "MODE"});
}

bool is_niladic(std::string_view w) noexcept {
  return in(w, {"CURRENT_DATE", "CURRENT_TIMESTAMP", "CURRENT_TIME", "CURRENT_USER", "LOCALTIME",
                "LOCALTIMESTAMP", "SYSDATE", "SESSION_USER", "SYSTIMESTAMP", "CURRENT_SCHEMA",
                "CURRENT_CATALOG", "CURRENT_ROLE", "CURRENT_DATABASE"});
}

bool is_typed_literal_type(std::string_view w) noexcept {
  return in(w, {"DATE", "TIME", "TIMESTAMP", "TIMESTAMPTZ", "TIMESTAMP_NTZ", "TIMESTAMP_LTZ",
                "TIMESTAMP_TZ", "DATETIME", "JSON", "JSONB", "NUMERIC", "DECIMAL", "BIGNUMERIC",
                "BIGDECIMAL", "UUID", "INET", "CIDR", "BYTES", "INT", "INTEGER", "BIGINT",
                "SMALLINT", "TINYINT", "FLOAT", "DOUBLE", "REAL", "BOOLEAN", "BOOL", "VARCHAR",
                "NVARCHAR", "CHAR", "NCHAR", "TEXT", "STRING", "BINARY", "VARBINARY", "MONEY",
                "XML", "GEOGRAPHY", "GEOMETRY", "SIGNED", "UNSIGNED", "BIT", "INT64", "FLOAT64"});
}

bool is_date_part(std::string_view w) noexcept {
  return in(w, {"YEAR", "YEARS", "YYYY", "YY", "QUARTER", "QUARTERS", "QQ", "MONTH", "MONTHS", "MM",
                "WEEK", "WEEKS", "WK", "WW", "DAY", "DAYS", "DD", "DAYOFWEEK", "DAYOFYEAR", "DOW",
                "DOY", "DW", "DY", "HOUR", "HOURS", "HH", "HH24", "MINUTE", "MINUTES", "MI",
                "SECOND", "SECONDS", "SS", "MILLISECOND", "MILLISECONDS", "MS", "MICROSECOND",
                "MICROSECONDS", "US", "NANOSECOND", "NANOSECONDS", "NS", "EPOCH", "ISOWEEK",
                "ISOYEAR", "ISODOW", "WEEKDAY", "CENTURY", "DECADE", "MILLENNIUM", "JULIAN",
                "TIMEZONE_HOUR", "TIMEZONE_MINUTE", "YEAR_MONTH", "DAY_HOUR", "DAY_MINUTE",
                "DAY_SECOND", "HOUR_MINUTE", "HOUR_SECOND", "MINUTE_SECOND"});
}

bool is_date_function(std::string_view f) noexcept {
  for (std::size_t i = 0; i + 4 <= f.size(); ++i) {
    if (is_word_text(f.substr(i, 4), "DATE") || is_word_text(f.substr(i, 4), "TIME")) return true;
  }
  return in(f, {"EXTRACT", "LAST_DAY", "TRUNC"});
}

bool is_conditional_function(std::string_view f) noexcept { return in(f, {"IF", "IIF", "IFF"}); }

}  // namespace sql_parser

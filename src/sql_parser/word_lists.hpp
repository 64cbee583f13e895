// Function and type names whose arguments or spelling change what a word means.
#pragma once

#include <string_view>

namespace sql_parser {

// `word` spelled as `upper` (an upper-case name), in any case.
bool is_word_text(std::string_view word, std::string_view upper) noexcept;
// sum, count, array_agg ...: their arguments are aggregated.
bool is_aggregate(std::string_view function) noexcept;
// current_date, current_timestamp ...: functions written without parentheses.
bool is_niladic(std::string_view word) noexcept;
// DATE, TIMESTAMP, INT ...: types of typed literals (DATE '2024-01-01') and of CONVERT.
bool is_typed_literal_type(std::string_view word) noexcept;
// day, month, hour ...: units in DATEADD(day, ...), EXTRACT(year FROM ...), INTERVAL 1 DAY.
bool is_date_part(std::string_view word) noexcept;
// Functions whose bare first arguments may be date parts.
bool is_date_function(std::string_view function) noexcept;
// IF / IIF / IFF: the first argument is a condition.
bool is_conditional_function(std::string_view function) noexcept;

}  // namespace sql_parser

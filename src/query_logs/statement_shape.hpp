// The shape of a logged statement: its tokens with comments dropped, spacing
// collapsed to one blank, number and string literals as `?` and IN-lists of
// literals as `(?)`, so that statements differing only in literals share one
// analysis. Select-list positions (GROUP BY 1, ORDER BY 2) are kept.
//
// This is the fast path of sql_lineage.logs.shapes.shape_of, for texts of
// ASCII characters only, and gives exactly the same text; the Python version
// serves the rest (its character classes are Unicode's).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace query_logs {

// `backslash`: a backslash escapes the next character inside '...'.
// Nothing when the text holds a byte beyond ASCII.
std::optional<std::string> statement_shape(std::string_view sql, bool backslash);

}  // namespace query_logs

// libFuzzer harness for our SQL front-end: any bytes, in every dialect, must
// give statements (never a crash, hang or sanitizer report), and the model
// they fill must hold together. The same bytes go through the query-log shape
// scanner.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "query_logs/statement_shape.hpp"
#include "sql_parser/parse_script.hpp"

namespace {

namespace model = lineage::model;

void require(bool ok) {
  if (!ok) __builtin_trap();
}

bool valid(model::ScopeId id, std::size_t n) { return id >= 0 && static_cast<std::size_t>(id) < n; }

void check(const model::Statement& st, std::size_t text_size) {
  const std::size_t n = st.scopes.size();
  require(st.text_begin <= st.text_end && st.text_end <= text_size);
  require(st.at.line >= 1 && st.at.column >= 1);
  if (st.kind == model::StatementKind::Other) {
    require(n == 0 && st.root == model::kNoScope);
  } else {
    require(valid(st.root, n));
  }
  for (std::size_t i = 0; i < n; ++i) {
    const model::Scope& s = st.scopes[i];
    // Resolution relies on parents coming first.
    require(s.parent == model::kNoScope || (valid(s.parent, n) && static_cast<std::size_t>(s.parent) < i));
    for (const model::Cte& c : s.ctes) require(valid(c.scope, n));
    for (const model::Source& src : s.sources) {
      require(src.scope == model::kNoScope || valid(src.scope, n));
      for (const model::NestedQuery& q : src.subqueries) require(valid(q.scope, n));
    }
    for (const model::OutputColumn& o : s.outputs) {
      for (const model::NestedQuery& q : o.subqueries) require(valid(q.scope, n));
      for (const model::ColumnRef& r : o.refs) require(!r.name.text.empty() || r.name.quoted);
    }
    for (const model::NestedQuery& q : s.subqueries) require(valid(q.scope, n));
    for (model::ScopeId m : s.members) require(valid(m, n));
    require(s.kind != model::ScopeKind::SetOperation || s.operators.size() + 1 == s.members.size());
  }
  for (const model::Problem& p : st.problems) require(!p.message.empty() && p.at.line >= 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte picks the dialect; the rest is the script.
  const auto dialect = static_cast<sql_parser::Dialect>(data[0] % 9);
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  for (const model::Statement& st : sql_parser::parse_script(text, dialect)) check(st, text.size());
  // Tokens, literals shrunk to one character, joined by single blanks: at most
  // twice the text.
  if (const auto shape = query_logs::statement_shape(text, data[0] & 1)) require(shape->size() <= 2 * text.size());
  return 0;
}

// Name comparison for the query model: unquoted names fold ASCII case, quoted
// ones compare as written.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "lineage/model/query_model.hpp"

namespace lineage::model {

inline char fold_ascii(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline bool equal_folded(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (fold_ascii(a[i]) != fold_ascii(b[i])) return false;
  }
  return true;
}

// Two identifiers name the same thing: exact when either is quoted, else folded.
inline bool same_name(const Identifier& a, const Identifier& b) noexcept {
  if (a.quoted || b.quoted) return a.text == b.text;
  return equal_folded(a.text, b.text);
}
inline bool same_name(const Identifier& a, std::string_view b) noexcept {
  return a.quoted ? a.text == b : equal_folded(a.text, b);
}

inline std::string folded(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = fold_ascii(c);
  return out;
}

// The lookup key of an identifier: quoted parts as written, others folded.
inline std::string key_of(const Identifier& id) { return id.quoted ? id.text : folded(id.text); }

// "db.schema.table" from the parts, as written.
inline std::string joined(const QualifiedName& name, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count && i < name.size(); ++i) {
    if (i) out += '.';
    out += name[i].text;
  }
  return out;
}

}  // namespace lineage::model

namespace lineage::model {

// "db.schema.t" -> {"db", "schema", "t"}, all unquoted.
inline QualifiedName split_dotted(std::string_view text) {
  QualifiedName parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = text.find('.', start);
    const std::size_t end = dot == std::string_view::npos ? text.size() : dot;
    parts.push_back(Identifier{std::string(text.substr(start, end - start)), false});
    if (dot == std::string_view::npos) return parts;
    start = dot + 1;
  }
}

}  // namespace lineage::model

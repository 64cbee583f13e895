#include "sql_parser/keywords.hpp"

#include <array>
#include <cstddef>

namespace sql_parser {
namespace {

// NULL_ spells NULL (the macro's name is taken).
constexpr std::string_view spelling(std::string_view name) {
  return name.back() == '_' ? name.substr(0, name.size() - 1) : name;
}

constexpr std::string_view kNames[] = {
    "",
#define SQL_PARSER_KW_NAME(name) spelling(#name),
    SQL_PARSER_KEYWORDS(SQL_PARSER_KW_NAME)
#undef SQL_PARSER_KW_NAME
};
constexpr std::size_t kCount = sizeof(kNames) / sizeof(kNames[0]);
constexpr std::size_t kLongest = 16;
constexpr std::size_t kSlots = 1024;  // open addressing, well under half full

constexpr unsigned char upper(unsigned char c) noexcept {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 32) : c;
}


// Built at compile time: no guard on every lookup.
struct Table {
  std::array<std::uint16_t, kSlots> slots{};
  constexpr Table() noexcept {
    for (std::size_t k = 1; k < kCount; ++k) {
      std::uint32_t h = kKeywordHashStart;
      for (char c : kNames[k]) h = keyword_hash_step(h, static_cast<unsigned char>(c));
      std::size_t at = h & (kSlots - 1);
      while (slots[at] != 0) at = (at + 1) & (kSlots - 1);
      slots[at] = static_cast<std::uint16_t>(k);
    }
  }
};
static_assert(kCount < kSlots / 2, "keyword table too full");
constexpr Table kTable{};

}  // namespace

Kw keyword_of(std::string_view word) noexcept {
  if (word.size() < 2 || word.size() > kLongest) return Kw::None;
  std::uint32_t h = kKeywordHashStart;
  for (char c : word) h = keyword_hash_step(h, upper(static_cast<unsigned char>(c)));
  return keyword_of_hashed(word, h);
}

Kw keyword_of_hashed(std::string_view word, std::uint32_t hash) noexcept {
  const std::size_t n = word.size();
  if (n < 2 || n > kLongest) return Kw::None;
  std::size_t at = hash & (kSlots - 1);
  while (std::uint16_t k = kTable.slots[at]) {
    const std::string_view name = kNames[k];
    if (name.size() == n) {
      std::size_t i = 0;
      while (i < n && static_cast<unsigned char>(name[i]) == upper(static_cast<unsigned char>(word[i]))) ++i;
      if (i == n) return static_cast<Kw>(k);
    }
    at = (at + 1) & (kSlots - 1);
  }
  return Kw::None;
}

std::string_view keyword_text(Kw kw) noexcept {
  auto k = static_cast<std::size_t>(kw);
  return k < kCount ? kNames[k] : std::string_view{};
}

}  // namespace sql_parser

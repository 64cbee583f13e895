#include "sql_parser/keywords.hpp"

#include <array>
#include <cstddef>
#include <cstring>

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

inline unsigned char upper(unsigned char c) noexcept {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 32) : c;
}

std::uint32_t hash_upper(const unsigned char* s, std::size_t n) noexcept {
  std::uint32_t h = 2166136261u;
  for (std::size_t i = 0; i < n; ++i) h = (h ^ s[i]) * 16777619u;
  return h;
}

struct Table {
  std::array<std::uint16_t, kSlots> slots{};
  Table() noexcept {
    static_assert(kCount < kSlots / 2, "keyword table too full");
    for (std::size_t k = 1; k < kCount; ++k) {
      const auto* s = reinterpret_cast<const unsigned char*>(kNames[k].data());
      std::size_t at = hash_upper(s, kNames[k].size()) & (kSlots - 1);
      while (slots[at] != 0) at = (at + 1) & (kSlots - 1);
      slots[at] = static_cast<std::uint16_t>(k);
    }
  }
};

const Table& table() noexcept {
  static const Table t;
  return t;
}

}  // namespace

Kw keyword_of(std::string_view word) noexcept {
  if (word.size() < 2 || word.size() > kLongest) return Kw::None;
  unsigned char buf[kLongest];
  for (std::size_t i = 0; i < word.size(); ++i) buf[i] = upper(static_cast<unsigned char>(word[i]));
  const Table& t = table();
  std::size_t at = hash_upper(buf, word.size()) & (kSlots - 1);
  while (std::uint16_t k = t.slots[at]) {
    if (kNames[k].size() == word.size() && std::memcmp(kNames[k].data(), buf, word.size()) == 0)
      return static_cast<Kw>(k);
    at = (at + 1) & (kSlots - 1);
  }
  return Kw::None;
}

std::string_view keyword_text(Kw kw) noexcept {
  auto k = static_cast<std::size_t>(kw);
  return k < kCount ? kNames[k] : std::string_view{};
}

}  // namespace sql_parser

#include "query_logs/statement_shape.hpp"

#include <cstddef>
#include <vector>

namespace query_logs {
namespace {

constexpr std::size_t kNone = std::string_view::npos;
constexpr std::string_view kPlaceholder = "?";

// Python's \s, \w and \d on ASCII characters.
bool is_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f); }
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool is_word(unsigned char c) { return is_digit(c) || c == '_' || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'); }

enum class Kind { Word, Number, Literal, Other };

struct Token {
  Kind kind;
  std::string_view text;
};

// Reads the tokens the way one regular expression with these alternatives, in
// this order, would (the first that matches wins): blanks, comments, a string
// literal, a dollar-quoted string, a quoted name, a number, a word, any other
// character.
class Scanner {
 public:
  Scanner(std::string_view text, bool backslash) : s_(text), backslash_(backslash) {}

  bool next(Token& out) {
    for (;;) {
      if (i_ >= s_.size()) return false;
      const std::size_t end = skip_blank_or_comment();
      if (end == kNone) break;
      i_ = end;
    }
    const std::size_t start = i_;
    Kind kind = Kind::Other;
    std::size_t end = kNone;
    if ((end = string_literal(start)) != kNone || (end = dollar_string(start)) != kNone) {
      kind = Kind::Literal;
    } else if ((end = quoted_name(start)) != kNone) {
      kind = Kind::Other;
    } else if ((end = number(start)) != kNone) {
      kind = Kind::Number;
    } else if (is_word(at(start))) {
      end = start + 1;
      while (is_word(at(end)) || at(end) == '$') ++end;
      kind = Kind::Word;
    } else {
      end = start + 1;
    }
    i_ = end;
    out = {kind, s_.substr(start, end - start)};
    return true;
  }

 private:
  unsigned char at(std::size_t k) const { return k < s_.size() ? static_cast<unsigned char>(s_[k]) : 0; }

  std::size_t skip_blank_or_comment() const {
    std::size_t k = i_;
    if (is_space(at(k))) {
      while (k < s_.size() && is_space(at(k))) ++k;
      return k;
    }
    if (at(k) == '-' && at(k + 1) == '-') {
      const std::size_t nl = s_.find('\n', k);
      return nl == kNone ? s_.size() : nl;
    }
    if (at(k) == '/' && at(k + 1) == '*') {
      const std::size_t close = s_.find("*/", k + 2);
      return close == kNone ? kNone : close + 2;
    }
    return kNone;
  }

  // A body closed by `quote`, in which a doubled quote stands for itself (and,
  // with `escapes`, a backslash takes the next character). Unclosed, the match
  // falls back to the first quote of the last doubled pair, if any.
  std::size_t quoted_body(std::size_t k, char quote, bool escapes) const {
    std::size_t last_pair = kNone;
    while (k < s_.size()) {
      const char c = s_[k];
      if (escapes && c == '\\') {
        if (k + 1 >= s_.size()) break;
        k += 2;
      } else if (c != quote) {
        ++k;
      } else if (at(k + 1) == static_cast<unsigned char>(quote)) {
        last_pair = k;
        k += 2;
      } else {
        return k + 1;
      }
    }
    return last_pair == kNone ? kNone : last_pair + 1;
  }

  std::size_t string_literal(std::size_t k) const {
    std::size_t quote = kNone;
    const unsigned char c = at(k);
    if (c == '\'') {
      quote = k;
    } else if ((c == 'U' || c == 'u') && at(k + 1) == '&' && at(k + 2) == '\'') {
      quote = k + 2;
    } else if (std::string_view("EeNnXxBbRr").find(static_cast<char>(c)) != kNone && at(k + 1) == '\'') {
      quote = k + 1;
    }
    return quote == kNone ? kNone : quoted_body(quote + 1, '\'', backslash_);
  }

  std::size_t dollar_string(std::size_t k) const {
    if (at(k) != '$') return kNone;
    std::size_t tag_end = k + 1;
    if (is_word(at(tag_end)) && !is_digit(at(tag_end))) {
      while (is_word(at(tag_end))) ++tag_end;
    }
    if (at(tag_end) != '$') return kNone;
    return dollar_close(tag_end + 1, s_.substr(k + 1, tag_end - k - 1));
  }

  // The first `$tag$` or `$$` from k: the tag is optional in the closing.
  std::size_t dollar_close(std::size_t k, std::string_view tag) const {
    for (std::size_t p = s_.find('$', k); p != kNone; p = s_.find('$', p + 1)) {
      if (!tag.empty() && s_.compare(p + 1, tag.size(), tag) == 0 && at(p + 1 + tag.size()) == '$') {
        return p + tag.size() + 2;
      }
      if (at(p + 1) == '$') return p + 2;
    }
    return kNone;
  }

  std::size_t quoted_name(std::size_t k) const {
    const unsigned char c = at(k);
    if (c == '"' || c == '`') return quoted_body(k + 1, static_cast<char>(c), false);
    if (c == '[') {
      for (std::size_t p = k + 1; p < s_.size(); ++p) {
        if (s_[p] == ']') return p + 1;
        if (s_[p] == '\n') return kNone;
      }
    }
    return kNone;
  }

  std::size_t digits_from(std::size_t k) const {
    while (is_digit(at(k))) ++k;
    return k;
  }

  std::size_t exponent_end(std::size_t k) const {
    if (at(k) != 'e' && at(k) != 'E') return kNone;
    std::size_t d = k + 1;
    if (at(d) == '+' || at(d) == '-') ++d;
    return is_digit(at(d)) ? digits_from(d) : kNone;
  }

  // Not followed by a word character or '$'.
  bool ends_here(std::size_t k) const { return !(is_word(at(k)) || at(k) == '$'); }

  // The longest reading first, as backtracking would try them.
  std::size_t number(std::size_t k) const {
    auto with_exponent = [&](std::size_t q) {
      const std::size_t e = exponent_end(q);
      if (e != kNone && ends_here(e)) return e;
      return ends_here(q) ? q : kNone;
    };
    if (is_digit(at(k))) {
      const std::size_t p = digits_from(k);
      if (at(p) == '.') {
        if (std::size_t end = with_exponent(digits_from(p + 1)); end != kNone) return end;
      }
      return with_exponent(p);
    }
    if (at(k) == '.' && is_digit(at(k + 1))) return with_exponent(digits_from(k + 1));
    return kNone;
  }

  std::string_view s_;
  bool backslash_;
  std::size_t i_ = 0;
};

bool is_word_text(std::string_view text, std::string_view upper) {
  if (text.size() != upper.size()) return false;
  for (std::size_t k = 0; k < text.size(); ++k) {
    char c = text[k];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    if (c != upper[k]) return false;
  }
  return true;
}

// Words after which a GROUP BY / ORDER BY list has ended.
bool is_clause_word(std::string_view word) {
  static constexpr std::string_view kWords[] = {
      "SELECT", "FROM", "WHERE", "HAVING", "LIMIT", "OFFSET", "FETCH", "WINDOW", "QUALIFY", "UNION",
      "EXCEPT", "INTERSECT", "MINUS", "INTO", "ON", "JOIN", "ROWS", "RANGE", "GROUPS"};
  for (std::string_view w : kWords) {
    if (is_word_text(word, w)) return true;
  }
  return false;
}

// At the ")" of `IN (?, ?, ...)`: shortens the list to `IN (?)` and closes it.
bool closes_literal_list(std::vector<std::string_view>& out) {
  std::ptrdiff_t i = static_cast<std::ptrdiff_t>(out.size()) - 1;
  int items = 0;
  while (i >= 0) {
    if (out[static_cast<std::size_t>(i)] != kPlaceholder) return false;
    ++items;
    --i;
    if (i >= 0 && (out[static_cast<std::size_t>(i)] == "-" || out[static_cast<std::size_t>(i)] == "+")) --i;
    if (i >= 0 && out[static_cast<std::size_t>(i)] == ",") {
      --i;
      continue;
    }
    break;
  }
  if (items == 0 || i < 1 || out[static_cast<std::size_t>(i)] != "(" ||
      !is_word_text(out[static_cast<std::size_t>(i) - 1], "IN")) {
    return false;
  }
  out.resize(static_cast<std::size_t>(i) + 1);
  out.push_back(kPlaceholder);
  out.push_back(")");
  return true;
}

}  // namespace

std::optional<std::string> statement_shape(std::string_view sql, bool backslash) {
  for (char c : sql) {
    if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
  }
  std::vector<std::string_view> out;
  int depth = 0;
  int by_depth = -1;  // parenthesis depth of the GROUP/ORDER BY list being read, or -1
  Scanner scanner(sql, backslash);
  Token t{};
  while (scanner.next(t)) {
    std::string_view text = t.text;
    switch (t.kind) {
      case Kind::Word:
        if (is_word_text(text, "BY") && !out.empty() &&
            (is_word_text(out.back(), "GROUP") || is_word_text(out.back(), "ORDER"))) {
          by_depth = depth;
        } else if (depth <= by_depth && is_clause_word(text)) {
          by_depth = -1;
        }
        break;
      case Kind::Number:
        if (!(depth == by_depth && !out.empty() && (out.back() == "," || is_word_text(out.back(), "BY")))) {
          text = kPlaceholder;
        }
        break;
      case Kind::Literal:
        text = kPlaceholder;
        break;
      case Kind::Other:
        if (text == "(") {
          ++depth;
        } else if (text == ")") {
          --depth;
          if (depth < by_depth) by_depth = -1;
          if (closes_literal_list(out)) continue;
        } else if (text == ";") {
          by_depth = -1;
        }
        break;
    }
    out.push_back(text);
  }
  std::string shape;
  for (std::size_t k = 0; k < out.size(); ++k) {
    if (k > 0) shape += ' ';
    shape.append(out[k]);
  }
  return shape;
}

}  // namespace query_logs

#include "sql_parser/tokenizer.hpp"

#include <array>
#include <cctype>
#include <cstring>

namespace sql_parser {
namespace {

inline bool is_blank(unsigned char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}
inline bool is_digit(unsigned char c) noexcept { return c >= '0' && c <= '9'; }
inline bool is_alpha(unsigned char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
inline bool is_word_char(unsigned char c) noexcept {
  return is_alpha(c) || is_digit(c) || c == '$' || c >= 0x80;
}

// ASCII bytes that continue a word: lower-case letters apart (for hashing in upper case).
constexpr unsigned char kOther = 1, kLower = 2;
constexpr std::array<unsigned char, 128> kCharClass = [] {
  std::array<unsigned char, 128> table{};
  for (int c = 0; c < 128; ++c) {
    if (c >= 'a' && c <= 'z') table[c] = kLower;
    else if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$') table[c] = kOther;
  }
  return table;
}();

}  // namespace

const char* describe(TokError error) noexcept {
  switch (error) {
    case TokError::UnterminatedString: return "a string that is never closed";
    case TokError::UnterminatedName: return "a quoted name that is never closed";
    case TokError::UnterminatedComment: return "a comment that is never closed";
    case TokError::NulByte: return "a NUL byte";
    case TokError::InvalidUtf8: return "bytes that are not valid UTF-8";
    case TokError::Stray: return "a character that starts no token";
    case TokError::None: break;
  }
  return "an unreadable token";
}

// Length of the valid UTF-8 sequence at pos (surrogates and overlong forms are
// invalid), or 0.
std::size_t Tokenizer::utf8_length(std::size_t pos) const noexcept {
  auto at = [&](std::size_t i) -> unsigned {
    return pos + i < text_.size() ? static_cast<unsigned char>(text_[pos + i]) : 0u;
  };
  unsigned c = at(0);
  auto cont = [&](std::size_t i) { return (at(i) & 0xC0u) == 0x80u; };
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    unsigned c1 = at(1);
    if (!cont(1) || !cont(2)) return 0;
    if (c == 0xE0 && c1 < 0xA0) return 0;
    if (c == 0xED && c1 >= 0xA0) return 0;  // surrogates
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    unsigned c1 = at(1);
    if (!cont(1) || !cont(2) || !cont(3)) return 0;
    if (c == 0xF0 && c1 < 0x90) return 0;
    if (c == 0xF4 && c1 >= 0x90) return 0;
    return 4;
  }
  return 0;
}

void Tokenizer::new_line(std::size_t start) noexcept {
  ++line_;
  line_start_ = start;
  ascii_line_ = true;
  counted_ = start;
  column_ = 1;
}

// Bytes [from, to) were consumed by a comment, string or quoted name: count
// the lines they end and note characters beyond ASCII on the last one.
void Tokenizer::passed(std::size_t from, std::size_t to) noexcept {
  const char* const base = text_.data();
  while (from < to) {
    const void* nl = std::memchr(base + from, '\n', to - from);
    if (!nl) break;
    from = static_cast<std::size_t>(static_cast<const char*>(nl) - base) + 1;
    new_line(from);
  }
  for (std::size_t i = from; i < to && ascii_line_; ++i) {
    if (static_cast<unsigned char>(base[i]) >= 0x80) ascii_line_ = false;
  }
}

void Tokenizer::position_of(Token& t) noexcept {
  t.line = line_;
  if (ascii_line_) {
    t.column = static_cast<std::uint32_t>(t.begin - line_start_ + 1);
    return;
  }
  // Columns count characters: every byte but UTF-8 continuation bytes.
  if (counted_ < line_start_ || counted_ > t.begin) {
    counted_ = line_start_;
    column_ = 1;
  }
  std::uint32_t characters = 0;
  for (const char* p = text_.data() + counted_, *end = text_.data() + t.begin; p < end; ++p)
    characters += (static_cast<unsigned char>(*p) & 0xC0u) != 0x80u;
  column_ += characters;
  counted_ = t.begin;
  t.column = column_;
}

bool Tokenizer::at_line_start(std::size_t pos) const noexcept {
  while (pos > 0) {
    char c = text_[pos - 1];
    if (c == '\n') return true;
    if (c != ' ' && c != '\t') return false;
    --pos;
  }
  return true;
}

void Tokenizer::skip_blanks_and_comments(Token& error) {
  const std::size_t n = text_.size();
  while (pos_ < n) {
    auto c = static_cast<unsigned char>(text_[pos_]);
    if (c == '\n') {
      ++pos_;
      new_line(pos_);
    } else if (is_blank(c)) {
      ++pos_;
    } else if (c == 0xEF && pos_ + 2 < n && static_cast<unsigned char>(text_[pos_ + 1]) == 0xBB &&
               static_cast<unsigned char>(text_[pos_ + 2]) == 0xBF) {
      pos_ += 3;  // byte order mark
    } else if ((c == '-' && pos_ + 1 < n && text_[pos_ + 1] == '-') ||
               (c == '#' && (rules_.hash_comments() ||
                             (rules_.hash_comment_at_line_start() && at_line_start(pos_))))) {
      const void* nl = std::memchr(text_.data() + pos_, '\n', n - pos_);
      pos_ = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - text_.data()) + 1 : n;
      if (nl) new_line(pos_);
    } else if (c == '/' && pos_ + 1 < n && text_[pos_ + 1] == '*') {
      std::size_t start = pos_;
      int depth = 1;
      pos_ += 2;
      const bool nests = rules_.nested_comments();
      while (pos_ < n && depth > 0) {
        char d = text_[pos_];
        if (d == '*' && pos_ + 1 < n && text_[pos_ + 1] == '/') {
          --depth;
          pos_ += 2;
        } else if (nests && d == '/' && pos_ + 1 < n && text_[pos_ + 1] == '*') {
          ++depth;
          pos_ += 2;
        } else {
          ++pos_;
        }
      }
      if (depth > 0) {
        error.kind = Tok::Error;
        error.error = TokError::UnterminatedComment;
        error.begin = static_cast<std::uint32_t>(start);
        error.end = static_cast<std::uint32_t>(n);
        position_of(error);
        return;
      }
      passed(start, pos_);
    } else {
      return;
    }
  }
}

// A quoted name or string closed by `close`; a doubled `close` stands for
// itself, and a backslash escapes the next byte where the dialect says so.
void Tokenizer::scan_quoted(Token& t, char close, bool backslash, Tok kind) {
  const std::size_t n = text_.size();
  std::size_t i = pos_ + 1;
  for (;;) {
    const char* hit = nullptr;
    if (backslash) {
      for (std::size_t j = i; j < n; ++j) {
        if (text_[j] == close || text_[j] == '\\') {
          hit = text_.data() + j;
          break;
        }
      }
    } else {
      hit = static_cast<const char*>(std::memchr(text_.data() + i, close, n - i));
    }
    if (!hit) {
      t.kind = Tok::Error;
      t.error = kind == Tok::QuotedName ? TokError::UnterminatedName : TokError::UnterminatedString;
      pos_ = n;
      return;
    }
    i = static_cast<std::size_t>(hit - text_.data());
    if (*hit == '\\') {
      i += 2;
      if (i > n) i = n;
      continue;
    }
    if (i + 1 < n && text_[i + 1] == close) {
      i += 2;
      continue;
    }
    pos_ = i + 1;
    t.kind = kind;
    return;
  }
}

// $$...$$ or $tag$...$tag$; false when the '$' opens none.
bool Tokenizer::scan_dollar_string(Token& t) {
  const std::size_t n = text_.size();
  std::size_t i = pos_ + 1;
  while (i < n && (is_alpha(static_cast<unsigned char>(text_[i])) ||
                   (i > pos_ + 1 && is_digit(static_cast<unsigned char>(text_[i])))))
    ++i;
  if (i >= n || text_[i] != '$') return false;
  std::string_view tag = text_.substr(pos_, i + 1 - pos_);
  std::size_t close = text_.find(tag, i + 1);
  t.kind = Tok::String;
  if (close == std::string_view::npos) {
    t.kind = Tok::Error;
    t.error = TokError::UnterminatedString;
    pos_ = n;
  } else {
    pos_ = close + tag.size();
  }
  return true;
}

void Tokenizer::scan_word(Token& t) {
  const std::size_t n = text_.size();
  std::size_t i = pos_;
  std::uint32_t hash = kKeywordHashStart;  // keywords are hashed in upper case as they are read
  while (i < n) {
    auto c = static_cast<unsigned char>(text_[i]);
    if (c < 0x80) {
      const unsigned char cls = kCharClass[c];
      if (cls == 0) break;
      hash = keyword_hash_step(hash, cls == kLower ? static_cast<unsigned char>(c - 32) : c);
      ++i;
    } else {
      std::size_t len = utf8_length(i);
      if (len == 0) break;
      i += len;
      ascii_line_ = false;  // columns now count characters
    }
  }
  // A string prefix: E'..', N'..', B'..', X'..', r'..', rb'..' and the like.
  std::size_t len = i - pos_;
  if (i < n && (text_[i] == '\'' || (text_[i] == '"' && !rules_.double_quote_is_identifier())) &&
      len <= 2) {
    std::string_view w = text_.substr(pos_, len);
    auto lower = [](char c) { return static_cast<char>(c | 0x20); };
    bool prefix = false, raw = false, escapes = false;
    if (len == 1) {
      char c = lower(w[0]);
      prefix = c == 'e' || c == 'n' || c == 'b' || c == 'x' || c == 'r' || c == 'u';
      raw = c == 'r';
      escapes = c == 'e';
    } else {
      char a = lower(w[0]), b = lower(w[1]);
      prefix = (a == 'r' && b == 'b') || (a == 'b' && b == 'r');
      raw = prefix;
    }
    if (prefix) {
      pos_ = i;
      bool backslash = !raw && (escapes || rules_.backslash_escapes());
      scan_quoted(t, text_[i], backslash, Tok::String);
      return;
    }
  }
  pos_ = i;
  t.kind = Tok::Word;
  t.end = static_cast<std::uint32_t>(i);
  t.kw = keyword_of_hashed(text_.substr(t.begin, len), hash);
}

void Tokenizer::scan_number(Token& t) {
  const std::size_t n = text_.size();
  std::size_t i = pos_;
  auto digit = [&](std::size_t j) { return j < n && is_digit(static_cast<unsigned char>(text_[j])); };
  if (text_[i] == '0' && i + 1 < n && (text_[i + 1] == 'x' || text_[i + 1] == 'X')) {
    i += 2;
    while (i < n && std::isxdigit(static_cast<unsigned char>(text_[i]))) ++i;
  } else {
    while (digit(i)) ++i;
    if (i < n && text_[i] == '.' && !(i + 1 < n && text_[i + 1] == '.')) {
      ++i;
      while (digit(i)) ++i;
    }
    if (i < n && (text_[i] == 'e' || text_[i] == 'E') &&
        (digit(i + 1) || ((i + 1 < n && (text_[i + 1] == '+' || text_[i + 1] == '-')) && digit(i + 2)))) {
      i += 2;
      while (digit(i)) ++i;
    }
  }
  // Type suffixes such as 10L, 1.5BD, 2d.
  while (i < n && is_alpha(static_cast<unsigned char>(text_[i]))) ++i;
  pos_ = i;
  t.kind = Tok::Number;
}

void Tokenizer::scan_operator(Token& t) {
  t.kind = Tok::Op;
  const std::size_t n = text_.size();
  const char c = text_[pos_];
  const char d = pos_ + 1 < n ? text_[pos_ + 1] : '\0';
  const char e = pos_ + 2 < n ? text_[pos_ + 2] : '\0';
  std::size_t len = 1;
  switch (c) {
    case '-': len = d == '>' ? (e == '>' ? 3 : 2) : 1; break;                   // -> ->>
    case '#': len = d == '>' ? (e == '>' ? 3 : 2) : (d == '-' ? 2 : 1); break;   // #> #>> #-
    case '!': len = d == '~' ? (e == '*' ? 3 : 2) : (d == '=' ? 2 : 1); break;   // !~ !~* !=
    case '<': len = d == '=' ? (e == '>' ? 3 : 2) : (d == '>' || d == '@' || d == '<') ? 2 : 1; break;
    case '|': len = d == '|' ? (e == '/' ? 3 : 2) : (d == '/' ? 2 : 1); break;   // || ||/ |/
    case ':': len = (d == ':' || d == '=') ? 2 : 1; break;
    case '=': len = (d == '>' || d == '=') ? 2 : 1; break;
    case '>': len = (d == '=' || d == '>') ? 2 : 1; break;
    case '@': len = (d == '>' || d == '@') ? 2 : 1; break;
    case '&': len = d == '&' ? 2 : 1; break;
    case '*': len = d == '*' ? 2 : 1; break;
    case '~': len = (d == '*' || d == '~') ? 2 : 1; break;
    case '?': len = (d == '|' || d == '&') ? 2 : 1; break;
    case '/': len = d == '/' ? 2 : 1; break;
    default: break;
  }
  pos_ += len;
}

void Tokenizer::scan(Token& t) {
  t = Token{};
  skip_blanks_and_comments(t);
  if (t.kind == Tok::Error) {
    pos_ = text_.size();
    return;
  }
  const std::size_t n = text_.size();
  t.begin = static_cast<std::uint32_t>(pos_);
  position_of(t);
  if (pos_ >= n) {
    t.kind = Tok::End;
    t.end = t.begin;
    return;
  }
  auto c = static_cast<unsigned char>(text_[pos_]);
  auto next = [&](std::size_t k) -> unsigned char {
    return pos_ + k < n ? static_cast<unsigned char>(text_[pos_ + k]) : 0;
  };
  if (is_alpha(c)) {
    scan_word(t);
  } else if (is_digit(c) || (c == '.' && is_digit(next(1)))) {
    scan_number(t);
  } else if (c == '\'') {
    scan_quoted(t, '\'', rules_.backslash_escapes(), Tok::String);
    // BigQuery's '''...''' holds quotes of its own.
  } else if (c == '"') {
    if (rules_.double_quote_is_identifier())
      scan_quoted(t, '"', false, Tok::QuotedName);
    else
      scan_quoted(t, '"', rules_.backslash_escapes(), Tok::String);
  } else if (c == '`' && rules_.backtick_identifiers()) {
    scan_quoted(t, '`', false, Tok::QuotedName);
  } else if (c == '[' && rules_.bracket_identifiers()) {
    scan_quoted(t, ']', false, Tok::QuotedName);
  } else if (c == '$') {
    unsigned char d = next(1);
    if (d == '{') {
      const void* close = std::memchr(text_.data() + pos_, '}', n - pos_);
      pos_ = close ? static_cast<std::size_t>(static_cast<const char*>(close) - text_.data()) + 1 : n;
      if (!close) {
        t.kind = Tok::Error;
        t.error = TokError::UnterminatedName;
      } else {
        t.kind = Tok::Word;
      }
    } else if (is_digit(d)) {
      ++pos_;
      while (pos_ < n && is_digit(static_cast<unsigned char>(text_[pos_]))) ++pos_;
      t.kind = Tok::Param;
    } else if (!(rules_.dollar_quoted_strings() && scan_dollar_string(t))) {
      ++pos_;
      while (pos_ < n && is_word_char(static_cast<unsigned char>(text_[pos_])) && text_[pos_] != '$') ++pos_;
      t.kind = pos_ > t.begin + 1 ? Tok::Param : Tok::Op;
    }
  } else if (c == '{' && next(1) == '{') {
    std::size_t close = text_.find("}}", pos_ + 2);
    if (close == std::string_view::npos) {
      t.kind = Tok::Error;
      t.error = TokError::UnterminatedName;
      pos_ = n;
    } else {
      pos_ = close + 2;
      t.kind = Tok::Word;
    }
  } else if (c == '@' && (is_alpha(next(1)) || (next(1) == '@' && is_alpha(next(2))))) {
    pos_ += next(1) == '@' ? 2 : 1;
    while (pos_ < n && is_word_char(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    t.kind = Tok::Param;
  } else if (c == '#' && rules_.hash_identifiers() && (is_alpha(next(1)) || next(1) == '#')) {
    pos_ += 1;
    while (pos_ < n && (is_word_char(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '#')) ++pos_;
    t.kind = Tok::Word;
  } else if (c == '?' && next(1) != '|' && next(1) != '&') {
    ++pos_;
    while (pos_ < n && is_digit(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    t.kind = Tok::Param;
  } else if (c == 0) {
    ++pos_;
    t.kind = Tok::Error;
    t.error = TokError::NulByte;
  } else if (c >= 0x80) {
    std::size_t len = utf8_length(pos_);
    if (len == 0) {
      ++pos_;
      t.kind = Tok::Error;
      t.error = TokError::InvalidUtf8;
    } else {
      scan_word(t);  // names may start with any letter beyond ASCII
    }
  } else if (c < 0x20 || c == 0x7F) {
    ++pos_;
    t.kind = Tok::Error;
    t.error = TokError::Stray;
  } else {
    scan_operator(t);
  }
  t.end = static_cast<std::uint32_t>(pos_);
  // Strings, quoted names and templating may span lines or hold any character.
  if (t.kind == Tok::String || t.kind == Tok::QuotedName || t.kind == Tok::Error ||
      (t.kind == Tok::Word && (c == '$' || c == '{'))) {
    passed(t.begin, pos_);
  }
}

// A '/' alone on its line ends the statement before it, as in SQL*Plus scripts.
bool Tokenizer::alone_on_line(const Token& t) const noexcept {
  if (text_[t.begin] != '/' || !at_line_start(t.begin)) return false;
  for (std::size_t i = t.end; i < text_.size(); ++i) {
    const char c = text_[i];
    if (c == '\n') return true;
    if (c != ' ' && c != '\t' && c != '\r') return false;
  }
  return true;
}

bool Tokenizer::next_statement(std::vector<Token>& out) {
  out.clear();
  for (;;) {
    out.emplace_back();
    Token& t = out.back();
    scan(t);
    if (t.kind == Tok::End) {
      statement_end_ = t.begin;
      return out.size() > 1 || pos_ < text_.size();
    }
    if (t.kind == Tok::Op && t.end == t.begin + 1 && (text_[t.begin] == ';' || alone_on_line(t))) {
      statement_end_ = t.begin;
      t.kind = Tok::End;
      return true;
    }
  }
}

}  // namespace sql_parser

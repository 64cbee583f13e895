// One pass over the UTF-8 bytes: tokens point into the text (no copies) and
// carry their line and column. Statements end at ';' outside quotes and
// comments, or at a '/' alone on its line.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "sql_parser/dialect.hpp"
#include "sql_parser/keywords.hpp"

namespace sql_parser {

enum class Tok : std::uint8_t {
  End,         // after the statement's last token
  Word,        // a name or keyword; also ${var} and {{ var }} templating
  QuotedName,  // "x", `x`, [x]
  String,      // '...', E'...', $$...$$, r'...', "..." where that is a string
  Number,
  Param,       // ?, $1, @var, @@var
  Op,          // punctuation and operators: ( ) , . + :: -> ...
  Error,       // bytes that cannot start a token; `error` says why
};

enum class TokError : std::uint8_t {
  None, UnterminatedString, UnterminatedName, UnterminatedComment, NulByte, InvalidUtf8, Stray,
};

struct Token {
  std::uint32_t begin = 0;
  std::uint32_t end = 0;
  std::uint32_t line = 1;
  std::uint32_t column = 1;
  Tok kind = Tok::End;
  Kw kw = Kw::None;            // Word: the keyword it spells
  TokError error = TokError::None;
};

const char* describe(TokError error) noexcept;

class Tokenizer {
 public:
  Tokenizer(std::string_view text, const DialectRules& rules) noexcept : text_(text), rules_(rules) {}

  // The tokens of the next statement (up to ';' or the end), ending in an End
  // token. False when the text is used up and no token was read.
  bool next_statement(std::vector<Token>& out);
  // Where the ';' (or the end of the text) that closed the last statement is.
  std::uint32_t statement_end() const noexcept { return statement_end_; }

 private:
  void scan(Token& t);
  void position_of(Token& t) noexcept;
  void skip_blanks_and_comments(Token& error);
  bool at_line_start(std::size_t pos) const noexcept;
  bool alone_on_line(const Token& t) const noexcept;
  void scan_quoted(Token& t, char close, bool backslash, Tok kind);
  bool scan_dollar_string(Token& t);
  void scan_word(Token& t);
  void scan_number(Token& t);
  void scan_operator(Token& t);
  std::size_t utf8_length(std::size_t pos) const noexcept;  // 0: invalid

  std::string_view text_;
  const DialectRules& rules_;
  std::size_t pos_ = 0;
  // Lines are counted where newlines are consumed; a column is the distance
  // from the line's start while the line is ASCII, else characters are
  // counted once, forward, from the last token of the line.
  void new_line(std::size_t start) noexcept;
  void passed(std::size_t from, std::size_t to) noexcept;
  std::uint32_t line_ = 1;
  std::size_t line_start_ = 0;
  bool ascii_line_ = true;
  std::size_t counted_ = 0;
  std::uint32_t column_ = 1;
  std::uint32_t statement_end_ = 0;
};

}  // namespace sql_parser

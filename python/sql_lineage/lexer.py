"""A small SQL tokenizer: just enough to find statement boundaries and the head
of a statement.

It reads quotes and comments the way the extension's text cleaner does, so the
two never disagree about what is code: '...', "..." and `...` run to the next
quote of the same kind (a doubled quote closes and reopens, which comes to the
same thing), block comments nest, and "--" runs to the end of the line.
Unterminated quotes and comments run to the end of the text.
"""

from __future__ import annotations

import enum
from collections.abc import Iterator
from dataclasses import dataclass


class Kind(enum.Enum):
    WORD = "word"            # keyword, identifier or number
    QUOTED = "quoted"        # "..." or `...` identifier
    STRING = "string"        # '...' literal
    PUNCT = "punct"          # any other single character, ";" included


@dataclass(frozen=True, slots=True)
class Token:
    kind: Kind
    text: str
    start: int  # offset of the first character in the text
    end: int    # offset just past the last character

    def is_word(self, *words: str) -> bool:
        """True for a WORD token equal to one of `words`, ignoring letter case."""
        return self.kind is Kind.WORD and self.text.upper() in words

    def is_punct(self, char: str) -> bool:
        return self.kind is Kind.PUNCT and self.text == char

    @property
    def name(self) -> str:
        """The identifier this token spells, without its quotes."""
        if self.kind is Kind.QUOTED:
            return self.text[1:-1] if len(self.text) >= 2 and self.text[-1] == self.text[0] else self.text[1:]
        return self.text


def _is_word_char(c: str) -> bool:
    return c.isalnum() or c in "_$@#"


def tokens(text: str) -> Iterator[Token]:
    """The tokens of `text`, comments and whitespace left out."""
    n = len(text)
    i = 0
    while i < n:
        c = text[i]
        nxt = text[i + 1] if i + 1 < n else ""
        if c.isspace():
            i += 1
        elif c == "/" and nxt == "*":
            i = _skip_block_comment(text, i)
        elif c == "-" and nxt == "-":
            end = text.find("\n", i + 2)
            i = n if end < 0 else end
        elif c in "'\"`":
            end = text.find(c, i + 1)
            end = n if end < 0 else end + 1
            yield Token(Kind.STRING if c == "'" else Kind.QUOTED, text[i:end], i, end)
            i = end
        elif _is_word_char(c):
            start = i
            while i < n and _is_word_char(text[i]):
                i += 1
            yield Token(Kind.WORD, text[start:i], start, i)
        else:
            yield Token(Kind.PUNCT, c, i, i + 1)
            i += 1


def _skip_block_comment(text: str, i: int) -> int:
    """Offset just past the block comment opening at `i` (nested ones included)."""
    n = len(text)
    depth = 0
    while i < n:
        pair = text[i:i + 2]
        if pair == "/*":
            depth += 1
            i += 2
        elif pair == "*/":
            depth -= 1
            i += 2
            if depth == 0:
                return i
        else:
            i += 1
    return n

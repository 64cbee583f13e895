"""Splits SQL text into statements at the ";" that stand outside quotes and comments."""

from __future__ import annotations

from dataclasses import dataclass

from .lexer import Token, tokens


@dataclass(frozen=True, slots=True)
class Statement:
    number: int               # 1 for the first statement of the text
    line: int                 # line of the statement's first token, from 1
    text: str                 # the statement as written, without its ";"
    tokens: tuple[Token, ...]  # its tokens; offsets are relative to `text`


def split_statements(text: str) -> list[Statement]:
    """The statements of `text`, in order.

    Pieces holding nothing but whitespace and comments (an empty statement
    between two ";", a trailing comment) are not statements and get no number.
    A statement keeps the comments that precede it, since hints may sit there.
    """
    statements: list[Statement] = []
    piece_start = 0
    pending: list[Token] = []
    # Line numbers are counted forward from the last statement, not from the top.
    counted_to, line_at = 0, 1

    def close(piece_end: int) -> None:
        nonlocal counted_to, line_at
        if pending:
            first = pending[0]
            line_at += text.count("\n", counted_to, first.start)
            counted_to = first.start
            line = line_at
            shifted = tuple(
                Token(t.kind, t.text, t.start - piece_start, t.end - piece_start) for t in pending
            )
            statements.append(Statement(len(statements) + 1, line, text[piece_start:piece_end], shifted))
            pending.clear()

    for token in tokens(text):
        if token.is_punct(";"):
            close(token.start)
            piece_start = token.end
        else:
            pending.append(token)
    close(len(text))
    return statements

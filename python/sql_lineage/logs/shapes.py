"""The shape of a logged statement, and a per-process cache of results by shape.

Query logs repeat themselves: a dashboard runs the same query every few minutes
with another date, a service the same lookup with another id. The lineage of a
statement does not depend on its literals, so statements that differ only in
literals, comments and spacing share one analysis. The shape is the statement's
tokens with comments dropped, whitespace collapsed, every number and string
literal replaced by `?` and every IN-list of literals by `(?)`. Identifiers,
keywords and their case are kept, so statements naming different things never
share a shape. Integers that stand for select-list positions (`GROUP BY 1`,
`ORDER BY 2`) are kept too: they decide which column is meant.
"""

from __future__ import annotations

import hashlib
import re
from collections import OrderedDict
from collections.abc import Callable, Iterator
from typing import Generic, TypeVar

PLACEHOLDER = "?"

_compiled_shape: Callable[[str, bool], str | None] | None
try:
    from .._engine import log_shape as _compiled_shape
except ImportError:  # an engine built before it, or none at all
    _compiled_shape = None

# Dialects in which a backslash escapes a quote inside a string literal.
BACKSLASH_DIALECTS = frozenset({"mysql", "bigquery", "hive", "spark", "databricks"})

_TOKEN_SOURCE = r"""
  (?P<space>\s+)
| (?P<comment>--[^\n]*|/\*.*?\*/)
| (?P<string>{string})
| (?P<dollar>\$(?P<tag>[A-Za-z_]\w*)?\$.*?\$(?P=tag)?\$)
| (?P<quoted>"(?:[^"]|"")*"|`(?:[^`]|``)*`|\[[^\]\n]*\])
| (?P<number>(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][+-]?\d+)?(?![\w$]))
| (?P<word>[^\W\d][\w$]*|\w[\w$]*)
| (?P<other>.)
"""
# A string literal, with an optional prefix (E'', N'', X'', B'', U&'').
_PLAIN_STRING = r"(?:[EeNnXxBbRr]|[Uu]&)?'(?:[^']|'')*'"
_ESCAPED_STRING = r"(?:[EeNnXxBbRr]|[Uu]&)?'(?:[^'\\]|''|\\.)*'"

_TOKENS = {
    False: re.compile(_TOKEN_SOURCE.format(string=_PLAIN_STRING), re.S | re.X),
    True: re.compile(_TOKEN_SOURCE.format(string=_ESCAPED_STRING), re.S | re.X),
}

# Words after which a GROUP BY / ORDER BY list has ended.
_CLAUSE_WORDS = frozenset({
    "SELECT", "FROM", "WHERE", "HAVING", "LIMIT", "OFFSET", "FETCH", "WINDOW", "QUALIFY",
    "UNION", "EXCEPT", "INTERSECT", "MINUS", "INTO", "ON", "JOIN", "ROWS", "RANGE", "GROUPS",
})


def shape_of(sql: str, dialect: str = "ansi") -> str:
    """The statement's shape: the same for texts that differ only in literals,
    comments and spacing."""
    backslash = dialect.lower() in BACKSLASH_DIALECTS
    # The compiled engine reads ASCII texts the same way, many times faster.
    shape = _compiled_shape(sql, backslash) if _compiled_shape is not None else None
    return shape if shape is not None else _shape_in_python(sql, backslash)


def _shape_in_python(sql: str, backslash: bool) -> str:
    out: list[str] = []
    depth = 0
    by_depth = -1  # parenthesis depth of the GROUP/ORDER BY list being read, or -1
    for kind, text in _tokens(sql, backslash):
        if kind == "word":
            upper = text.upper()
            if upper == "BY" and out and out[-1].upper() in ("GROUP", "ORDER"):
                by_depth = depth
            elif upper in _CLAUSE_WORDS and depth <= by_depth:
                by_depth = -1
        elif kind == "number":
            if not (depth == by_depth and out and (out[-1] == "," or out[-1].upper() == "BY")):
                text = PLACEHOLDER
        elif kind in ("string", "dollar"):
            text = PLACEHOLDER
        elif text == "(":
            depth += 1
        elif text == ")":
            depth -= 1
            if depth < by_depth:
                by_depth = -1
            if _closes_literal_list(out):
                continue
        elif text == ";":
            by_depth = -1
        out.append(text)
    return " ".join(out)


def _tokens(sql: str, backslash: bool) -> Iterator[tuple[str, str]]:
    for match in _TOKENS[backslash].finditer(sql):
        kind = match.lastgroup
        if kind == "tag":  # the dollar group's inner name
            kind = "dollar"
        if kind in ("space", "comment") or kind is None:
            continue
        yield kind, match.group()


def _closes_literal_list(out: list[str]) -> bool:
    """At the ")" of `IN (?, ?, ...)`: shortens the list in `out` to `IN (?)` and
    closes it (True), so that IN-lists of every length share one shape."""
    end = len(out)
    i = end - 1
    items = 0
    while i >= 0:
        if out[i] != PLACEHOLDER:
            return False
        items += 1
        i -= 1
        if i >= 0 and out[i] in ("-", "+"):
            i -= 1
        if i >= 0 and out[i] == ",":
            i -= 1
            continue
        break
    if items == 0 or i < 1 or out[i] != "(" or out[i - 1].upper() != "IN":
        return False
    del out[i + 1:]
    out.extend((PLACEHOLDER, ")"))
    return True


def shape_id(shape: str) -> int:
    """A 64-bit number naming the shape, the same in every process (unlike hash())."""
    digest = hashlib.blake2b(shape.encode("utf-8", "surrogatepass"), digest_size=8).digest()
    return int.from_bytes(digest, "little", signed=True)


K = TypeVar("K")
V = TypeVar("V")


class ShapeCache(Generic[K, V]):
    """Results by shape, the least recently used dropped past `limit` entries,
    so that a worker's memory stays flat however many shapes a log holds."""

    def __init__(self, limit: int) -> None:
        self.limit = max(1, limit)
        self._entries: OrderedDict[K, V] = OrderedDict()

    def get(self, key: K) -> V | None:
        value = self._entries.get(key)
        if value is not None:
            self._entries.move_to_end(key)
        return value

    def put(self, key: K, value: V) -> None:
        self._entries[key] = value
        if len(self._entries) > self.limit:
            self._entries.popitem(last=False)

    def clear(self) -> None:
        self._entries.clear()

    def __len__(self) -> int:
        return len(self._entries)

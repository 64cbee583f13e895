"""Tells what a statement is and where the query to analyse sits in it.

The parser reads SELECT statements only. Warehouse SQL mostly writes the result
of a query somewhere, so the write forms around a query are recognised here and
their query is handed on with the name of the table written:

    INSERT INTO [TABLE] t [PARTITION (...)] [(c1, ...)] <query>
    INSERT OVERWRITE TABLE t [PARTITION (...)] [IF NOT EXISTS] <query>
    CREATE [OR REPLACE] [TEMPORARY ...] TABLE [IF NOT EXISTS] t [...] AS <query>
    CREATE [OR REPLACE] [MATERIALIZED] VIEW [IF NOT EXISTS] t [...] AS <query>

where <query> starts with SELECT or WITH, possibly inside parentheses.
Everything else is skipped, with a reason.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

from .lexer import Kind, Token
from .splitter import Statement

QUERY_START = ("SELECT", "WITH")
# Words that may stand between CREATE and TABLE / VIEW.
CREATE_MODIFIERS = (
    "OR", "REPLACE", "GLOBAL", "LOCAL", "TEMP", "TEMPORARY", "VOLATILE", "TRANSIENT",
    "EXTERNAL", "UNLOGGED", "MULTISET", "SET", "SECURE", "RECURSIVE", "MATERIALIZED",
)
WRITE_FORMS = "SELECT, INSERT ... SELECT and CREATE TABLE/VIEW ... AS SELECT"


@dataclass(frozen=True, slots=True)
class Plan:
    kind: str                 # "select", "insert", "create table", "create view" or "skipped"
    target: str | None        # the table written, as "db.t" or "t"
    query: str | None         # the query text to analyse; None when skipped
    reason: str | None = None  # why the statement is skipped


def plan_statement(statement: Statement) -> Plan:
    toks = statement.tokens
    text = statement.text
    head = toks[0]
    if head.is_word(*QUERY_START) or head.is_punct("("):
        if head.is_word("WITH") and _has_top_level(toks, "INSERT", "UPDATE", "DELETE", "MERGE"):
            return _skipped(f"{_keyword(head)} ... {_top_level_writer(toks)}")
        return Plan("select", None, _query_text(text, toks, 0))
    if head.is_word("INSERT"):
        return _plan_insert(text, toks)
    if head.is_word("CREATE"):
        return _plan_create(text, toks)
    if head.kind is Kind.WORD:
        return _skipped(f"{head.text.upper()} statement")
    return _skipped(f"statement starting with {head.text[:20]}")


def _skipped(what: str) -> Plan:
    return Plan("skipped", None, None, f"{what}: only {WRITE_FORMS} are analysed")


def _keyword(token: Token) -> str:
    return token.text.upper() if token.kind is Kind.WORD else repr(token.text)


def _plan_insert(text: str, toks: Sequence[Token]) -> Plan:
    i = 1
    if _word_at(toks, i, "OVERWRITE") and (
        _word_at(toks, i + 1, "DIRECTORY")
        or (_word_at(toks, i + 1, "LOCAL") and _word_at(toks, i + 2, "DIRECTORY"))
    ):
        return _skipped("INSERT OVERWRITE DIRECTORY (a file export)")
    if _word_at(toks, i, "INTO", "OVERWRITE"):
        i += 1
    else:
        return _skipped(f"INSERT {_keyword(toks[i])}" if i < len(toks) else "INSERT")
    if _word_at(toks, i, "TABLE"):
        i += 1
    name = _read_name(toks, i)
    if name is None:
        return _skipped("INSERT without a table name")
    target, i = name
    # Optional clauses before the query, in any order.
    while i < len(toks):
        if _word_at(toks, i, "PARTITION"):
            i = _skip_group(toks, i + 1)
        elif _word_at(toks, i, "IF") and _word_at(toks, i + 1, "NOT") and _word_at(toks, i + 2, "EXISTS"):
            i += 3
        elif toks[i].is_punct("(") and not _starts_query(toks, i):
            i = _skip_group(toks, i)
        else:
            break
    if not _starts_query(toks, i):
        found = _keyword(toks[i]) if i < len(toks) else "nothing"
        return _skipped(f"INSERT into {target} from {found}, not from a query")
    return Plan("insert", target, _query_text(text, toks, i))


def _plan_create(text: str, toks: Sequence[Token]) -> Plan:
    i = 1
    while i < len(toks) and toks[i].is_word(*CREATE_MODIFIERS):
        i += 1
    if _word_at(toks, i, "TABLE"):
        kind = "create table"
    elif _word_at(toks, i, "VIEW"):
        kind = "create view"
    else:
        return _skipped(f"CREATE {_keyword(toks[i])}" if i < len(toks) else "CREATE")
    i += 1
    if _word_at(toks, i, "IF") and _word_at(toks, i + 1, "NOT") and _word_at(toks, i + 2, "EXISTS"):
        i += 3
    name = _read_name(toks, i)
    if name is None:
        return _skipped(f"{kind.upper()} without a name")
    target, i = name
    # The query follows the first AS outside parentheses that a query follows;
    # column lists, storage clauses ("STORED AS ORC") and properties come before it.
    while i < len(toks):
        if toks[i].is_punct("("):
            i = _skip_group(toks, i)
        elif toks[i].is_word("AS") and _starts_query(toks, i + 1):
            return Plan(kind, target, _query_text(text, toks, i + 1))
        else:
            i += 1
    return _skipped(f"{kind.upper()} {target} without AS SELECT")


def _top_level_words(toks: Sequence[Token]) -> list[str]:
    words, depth = [], 0
    for token in toks:
        if token.is_punct("("):
            depth += 1
        elif token.is_punct(")"):
            depth -= 1
        elif depth == 0 and token.kind is Kind.WORD:
            words.append(token.text.upper())
    return words


def _has_top_level(toks: Sequence[Token], *words: str) -> bool:
    """A WITH clause can lead into a write (WITH x AS (...) INSERT ...)."""
    return any(word in words for word in _top_level_words(toks))


def _top_level_writer(toks: Sequence[Token]) -> str:
    return next(w for w in _top_level_words(toks) if w in ("INSERT", "UPDATE", "DELETE", "MERGE"))


def _word_at(toks: Sequence[Token], i: int, *words: str) -> bool:
    return i < len(toks) and toks[i].is_word(*words)


def _starts_query(toks: Sequence[Token], i: int) -> bool:
    """A query starts at `i`: SELECT or WITH, possibly behind opening parentheses."""
    while i < len(toks) and toks[i].is_punct("("):
        i += 1
    return _word_at(toks, i, *QUERY_START)


def _read_name(toks: Sequence[Token], i: int) -> tuple[str, int] | None:
    """A possibly qualified name (a.b.c) starting at `i`, unquoted, and the index after it."""
    parts: list[str] = []
    while i < len(toks) and toks[i].kind in (Kind.WORD, Kind.QUOTED):
        parts.append(toks[i].name)
        i += 1
        if i < len(toks) and toks[i].is_punct("."):
            i += 1
        else:
            break
    if not parts:
        return None
    return ".".join(parts), i


def _skip_group(toks: Sequence[Token], i: int) -> int:
    """Index after the parenthesised group opening at `i` (or `i` when none opens there)."""
    if i >= len(toks) or not toks[i].is_punct("("):
        return i
    depth = 0
    while i < len(toks):
        if toks[i].is_punct("("):
            depth += 1
        elif toks[i].is_punct(")"):
            depth -= 1
            if depth == 0:
                return i + 1
        i += 1
    return i


def _query_text(text: str, toks: Sequence[Token], i: int) -> str:
    """The statement's text from token `i` to the end, without parentheses that
    enclose all of it (the parser does not accept a parenthesised query)."""
    j = len(toks)
    while i < j - 1 and toks[i].is_punct("(") and toks[j - 1].is_punct(")") and _skip_group(toks, i) == j:
        i += 1
        j -= 1
    return text[toks[i].start:toks[j - 1].end]

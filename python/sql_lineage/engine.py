"""`lineage()`: the full engine over SQL text, one `StatementLineage` per statement.

With the moz front-end the text is split here and each statement's write form
recognised as the command does; the parse trees of a whole call then go to the
compiled engine in one batch, so a table that one statement creates is known to
the statements after it.
"""

from __future__ import annotations

import warnings
from collections.abc import Mapping, Sequence
from typing import Any

from . import _engine  # the compiled engine (see _engine.pyi)
from .analysis import describe_failure, front_end
from .lexer import Kind, Token
from .results import IndirectSource, OutputColumn, SourceColumn, StatementLineage
from .schema import NormalisedSchema, normalise_schema
from .splitter import Statement, split_statements
from .statements import (
    CREATE_MODIFIERS, Plan, _read_name, _skip_group, _starts_query, _word_at, plan_statement,
)

PARSERS = ("moz", "native")
# The dialects our own parser reads; the moz front-end reads one grammar for all.
DIALECTS = (
    "ansi", "postgres", "redshift", "mysql", "snowflake", "bigquery", "hive", "spark", "databricks",
    "duckdb", "sqlite", "tsql",
)
_CLASSES = (SourceColumn, OutputColumn, IndirectSource, StatementLineage)
_KNOWN_DIALECTS = frozenset(DIALECTS)


def lineage(
    sql: str,
    *,
    schema: Mapping[str, Any] | None = None,
    dialect: str = "ansi",
    parser: str = "native",
) -> list[StatementLineage]:
    """The column lineage of every statement of `sql`, in order."""
    if parser == "native" and _engine.HAS_NATIVE_PARSER:
        # The usual call: the engine checks `sql` and `dialect` itself.
        tables = None if schema is None else normalise_schema(schema)
        return _engine.analyse_native(sql, dialect, tables, _CLASSES)
    if not isinstance(sql, str):
        raise TypeError(f"sql must be a str, not {type(sql).__name__}")
    if not isinstance(dialect, str):
        raise TypeError(f"dialect must be a str, not {type(dialect).__name__}")
    if dialect not in _KNOWN_DIALECTS and dialect.lower() not in _KNOWN_DIALECTS:
        raise ValueError(f"unknown dialect {dialect!r}; known: {', '.join(DIALECTS)}")
    tables = None if schema is None else normalise_schema(schema)
    if parser == "native":  # only here when the engine was built without it
        raise ValueError("the native parser is not built into this engine yet; use parser='moz'")
    if parser == "moz":
        return _moz_lineage(sql, tables)
    raise ValueError(f"parser must be one of {', '.join(map(repr, PARSERS))}, not {parser!r}")


def _moz_lineage(sql: str, tables: NormalisedSchema | None) -> list[StatementLineage]:
    from moz_sql_parser import parse  # type: ignore[import-untyped]

    driver = front_end()  # imports querimo_main first, which repairs the parser
    done: list[StatementLineage | None] = []
    batch: list[tuple[object, str, str | None, tuple[str, ...]]] = []
    pending: list[tuple[int, Statement, str, str | None]] = []
    for statement in split_statements(sql):
        plan, write = _plan(statement)
        if plan.kind == "skipped" or plan.query is None:
            done.append(_record(statement, "skipped", None, "skipped", plan.reason))
            continue
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", SyntaxWarning)
                tree = parse(driver._re_hint(plan.query))
        except Exception as exc:  # a statement the parser rejects fails alone
            done.append(_record(statement, plan.kind, plan.target, "failed", describe_failure(exc, "")))
            continue
        columns = _target_columns(write.tokens, plan.kind)
        batch.append((tree, plan.kind, plan.target, columns))
        pending.append((len(done), statement, plan.kind, plan.target))
        done.append(None)
    if batch:
        results = _engine.analyse_moz(batch, tables, _expression_name, _CLASSES)
        for (slot, statement, kind, target), result in zip(pending, results):
            if isinstance(result, BaseException):
                done[slot] = _record(statement, kind, target, "failed", describe_failure(result, ""))
            else:
                columns_, indirect, problems = result
                done[slot] = StatementLineage(
                    statement.number, statement.line, kind, target, "ok", None,  # type: ignore[arg-type]
                    columns_, indirect, problems, statement.text,
                )
    return [record for record in done if record is not None]


def _record(statement: Statement, kind: str, target: str | None, status: str, message: str | None) -> StatementLineage:
    return StatementLineage(
        statement.number, statement.line, kind, target, status, message,  # type: ignore[arg-type]
        sql=statement.text,
    )


def _target_columns(toks: Sequence[Token], kind: str) -> tuple[str, ...]:
    """The column list after the table written, matched to the query's outputs by
    position: INSERT INTO t [PARTITION (...)] (c1, c2) ..., CREATE VIEW v (c1, c2)
    AS ..., CREATE TABLE t (c1 type, c2 type) AS ...; () when there is none."""
    if kind == "insert":
        i = 2 if _word_at(toks, 1, "INTO", "OVERWRITE") else 1
    else:
        i = 1
        while i < len(toks) and toks[i].is_word(*CREATE_MODIFIERS):
            i += 1
        i += 1  # TABLE / VIEW
        if _word_at(toks, i, "IF") and _word_at(toks, i + 1, "NOT"):
            i += 3
    if _word_at(toks, i, "TABLE"):
        i += 1
    name = _read_name(toks, i)
    if name is None:
        return ()
    i = name[1]
    while _word_at(toks, i, "PARTITION"):
        i = _skip_group(toks, i + 1)
    if i >= len(toks) or not toks[i].is_punct("(") or _starts_query(toks, i):
        return ()
    end = _skip_group(toks, i)
    names: list[str] = []
    item_start = True
    depth = 0
    for token in toks[i + 1:end - 1]:
        if token.is_punct("("):
            depth += 1
        elif token.is_punct(")"):
            depth -= 1
        elif depth == 0 and token.is_punct(","):
            item_start = True
        elif item_start and depth == 0:
            if token.kind not in (Kind.WORD, Kind.QUOTED):
                return ()
            names.append(token.name)
            item_start = False
    return tuple(names)


def _plan(statement: Statement) -> tuple[Plan, Statement]:
    """As the command plans a statement, and WITH ... INSERT / CREATE read as the
    write with the WITH moved onto its query; with the statement (or the part of
    it) that holds the write."""
    plan = plan_statement(statement)
    toks = statement.tokens
    if plan.kind != "skipped" or not toks or not toks[0].is_word("WITH"):
        return plan, statement
    depth = 0
    for k, token in enumerate(toks):
        if token.is_punct("("):
            depth += 1
        elif token.is_punct(")"):
            depth -= 1
        elif depth == 0 and token.is_word("INSERT", "CREATE"):
            break
    else:
        return plan, statement
    start = toks[k].start
    write = Statement(
        statement.number, statement.line, statement.text[start:],
        tuple(Token(t.kind, t.text, t.start - start, t.end - start) for t in toks[k:]),
    )
    inner = plan_statement(write)
    if inner.query is None or inner.query.lstrip()[:4].upper() == "WITH":
        return plan, statement
    with_clause = statement.text[toks[0].start:start]
    return Plan(inner.kind, inner.target, with_clause + inner.query), write


def _expression_name(tree: object) -> str:
    """The output name of an unaliased expression: its SQL, as the parser's formatter writes it."""
    from moz_sql_parser import format as format_tree

    try:
        text = format_tree({"select": {"value": tree}})
    except Exception:  # a shape the formatter does not know still gets a name
        return "expression"
    return str(text)[len("SELECT "):] if str(text).startswith("SELECT ") else str(text)

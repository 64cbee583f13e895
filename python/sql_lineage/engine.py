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
from .lexer import Token
from .results import IndirectSource, OutputColumn, SourceColumn, StatementLineage
from .schema import NormalisedSchema, normalise_schema
from .splitter import Statement, split_statements
from .statements import _read_name, _skip_group, _starts_query, _word_at, plan_statement

PARSERS = ("moz", "native")
_CLASSES = (SourceColumn, OutputColumn, IndirectSource)


def lineage(
    sql: str,
    *,
    schema: Mapping[str, Any] | None = None,
    dialect: str = "ansi",
    parser: str = "moz",
) -> list[StatementLineage]:
    """The column lineage of every statement of `sql`, in order."""
    if not isinstance(sql, str):
        raise TypeError(f"sql must be a str, not {type(sql).__name__}")
    if not isinstance(dialect, str):
        raise TypeError(f"dialect must be a str, not {type(dialect).__name__}")
    tables = None if schema is None else normalise_schema(schema)
    if parser == "moz":
        return _moz_lineage(sql, tables)
    if parser == "native":
        return _native_lineage(sql, tables, dialect)
    raise ValueError(f"parser must be one of {', '.join(map(repr, PARSERS))}, not {parser!r}")


def _native_lineage(sql: str, tables: NormalisedSchema | None, dialect: str) -> list[StatementLineage]:
    analyse_native = getattr(_engine, "analyse_native", None)
    if analyse_native is None:
        raise ValueError("the native parser is not built into this engine yet; use parser='moz'")
    return [StatementLineage(*fields) for fields in analyse_native(sql, dialect, tables, _CLASSES)]


def _moz_lineage(sql: str, tables: NormalisedSchema | None) -> list[StatementLineage]:
    from moz_sql_parser import parse  # type: ignore[import-untyped]

    driver = front_end()  # imports querimo_main first, which repairs the parser
    done: list[StatementLineage | None] = []
    batch: list[tuple[object, str, str | None, tuple[str, ...]]] = []
    pending: list[tuple[int, Statement, str, str | None]] = []
    for statement in split_statements(sql):
        plan = plan_statement(statement)
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
        columns = _insert_columns(statement.tokens) if plan.kind == "insert" else ()
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


def _insert_columns(toks: Sequence[Token]) -> tuple[str, ...]:
    """The column list of INSERT INTO t [PARTITION (...)] (c1, c2) <query>, or ()."""
    i = 2 if _word_at(toks, 1, "INTO", "OVERWRITE") else 1
    if _word_at(toks, i, "TABLE"):
        i += 1
    name = _read_name(toks, i)
    if name is None:
        return ()
    i = name[1]
    while i < len(toks):
        if _word_at(toks, i, "PARTITION"):
            i = _skip_group(toks, i + 1)
        elif toks[i].is_punct("(") and not _starts_query(toks, i):
            end = _skip_group(toks, i)
            inner = toks[i + 1:end - 1]
            names = [t.name for t in inner if not t.is_punct(",")]
            if len(names) * 2 - 1 == len(inner):
                return tuple(names)
            return ()
        else:
            return ()
    return ()


def _expression_name(tree: object) -> str:
    """The output name of an unaliased expression: its SQL, as the parser's formatter writes it."""
    from moz_sql_parser import format as format_tree

    try:
        text = format_tree({"select": {"value": tree}})
    except Exception:  # a shape the formatter does not know still gets a name
        return "expression"
    return str(text)[len("SELECT "):] if str(text).startswith("SELECT ") else str(text)

"""Builds the full engine's records by hand, for tests of what reads them."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python"))

from sql_lineage.report import StatementResult  # noqa: E402
from sql_lineage.results import (  # noqa: E402
    IndirectSource,
    OutputColumn,
    SourceColumn,
    StatementLineage,
)


def source(name, transformation="IDENTITY", ambiguous=False):
    """'db.t.c' (every piece before the table is the qualifier) as a source column."""
    *table_parts, column = name.split(".")
    *qualifier, table = table_parts
    return SourceColumn(".".join(qualifier) or None, table, column, transformation, ambiguous)


def indirect(name, kind, ambiguous=False):
    s = source(name)
    return IndirectSource(s.database, s.table, s.column, kind, ambiguous)


def statement(index, target=None, columns=(), indirect_sources=(), *, kind=None, status="ok",
              message=None, problems=(), line=None, sql=""):
    """`columns` is a sequence of (output name, [source, ...])."""
    if kind is None:
        kind = "select" if target is None else "insert"
    return StatementLineage(
        index, index if line is None else line, kind, target, status, message,
        tuple(OutputColumn(name, tuple(sources)) for name, sources in columns),
        tuple(indirect_sources), tuple(problems), sql,
    )


def result(record, file="f.sql"):
    return StatementResult(file, record.index, record.line, record.kind, record.target,
                           record.status, message=record.message, lineage=record)

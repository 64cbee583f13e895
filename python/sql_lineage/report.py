"""What the tool found for one statement, and how a statement is named in messages."""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import Literal

from .analysis import Row
from .results import IndirectSource, StatementLineage, Transformation

Engine = Literal["full", "spec"]
DEFAULT_NAMESPACE = "sql-lineage"


@dataclass(frozen=True, slots=True)
class StatementResult:
    source: str               # file path as given, or "<stdin>"
    number: int               # position of the statement in its source, from 1
    line: int                 # line where the statement starts
    kind: str                 # "select", "insert", "create table", "update", ... or "skipped"
    target: str | None        # the table an INSERT, CREATE, UPDATE or MERGE writes
    status: str               # "ok", "skipped" or "failed"
    rows: tuple[Row, ...] = ()  # the direct lineage without its kind (what `--engine spec` knows)
    message: str | None = None  # why it was skipped or failed
    lineage: StatementLineage | None = None  # the full engine's record, with kinds and indirect

    @property
    def label(self) -> str:
        return f"{self.source}:{self.number}"

    @property
    def where(self) -> str:
        """The statement's place, for messages: file, line and statement number."""
        return f"{self.source}:{self.line}: statement {self.number}"

    def full_rows(self) -> Iterator[FullRow]:
        """Direct lineage with its kind; the spec engine's rows count as identities."""
        if self.lineage is None:
            for database, table, src, tgt in self.rows:
                yield FullRow(database, table, src, tgt, "IDENTITY", False)
            return
        for column in self.lineage.columns:
            for s in column.sources:
                yield FullRow(s.database, s.table, s.column, column.name, s.transformation, s.ambiguous)

    @property
    def indirect(self) -> tuple[IndirectSource, ...]:
        return () if self.lineage is None else self.lineage.indirect

    @property
    def problems(self) -> tuple[str, ...]:
        return () if self.lineage is None else self.lineage.problems


@dataclass(frozen=True, slots=True)
class FullRow:
    database: str | None
    table: str
    source_column: str
    output_column: str
    transformation: Transformation
    ambiguous: bool


@dataclass(frozen=True, slots=True)
class Report:
    """Everything a format writes: the statements in input order, and how they were analysed."""

    results: Sequence[StatementResult]
    engine: Engine = "full"
    namespace: str = DEFAULT_NAMESPACE  # OpenLineage namespace of jobs and datasets

    @property
    def full(self) -> bool:
        return self.engine == "full"


def split_table_name(name: str) -> tuple[str | None, str]:
    """Database and table of a written name, split the way lineage records are:
    the first piece is the database and the second the table ("a.b.c" gives
    ("a", "b")); a name without "." has no database."""
    if "." not in name:
        return None, name
    pieces = name.split(".")
    return pieces[0], pieces[1]


def split_qualified_name(name: str) -> tuple[str | None, str]:
    """Qualifier and table of a name the full engine writes: every piece before
    the last is the qualifier ("a.b.c" gives ("a.b", "c"))."""
    qualifier, dot, table = name.rpartition(".")
    return (qualifier if dot else None), table

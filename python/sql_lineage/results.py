"""What the full lineage engine returns: one `StatementLineage` per statement.

Plain frozen records, so they pickle (worker processes, Dask), compare and hash.
Every presentation (the command's formats, query logs, the page) reads these and
nothing else.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Literal

# How a source column reaches an output column (OpenLineage's column-lineage terms).
Transformation = Literal["IDENTITY", "TRANSFORMATION", "AGGREGATION"]
# Why a column decides which rows exist, or their order.
IndirectKind = Literal["JOIN", "FILTER", "GROUP_BY", "SORT", "WINDOW", "CONDITIONAL"]
StatementKind = Literal[
    "select", "insert", "create table", "create view", "update", "merge", "skipped"
]
Status = Literal["ok", "skipped", "failed"]

TRANSFORMATIONS: tuple[Transformation, ...] = ("IDENTITY", "TRANSFORMATION", "AGGREGATION")
INDIRECT_KINDS: tuple[IndirectKind, ...] = (
    "JOIN", "FILTER", "GROUP_BY", "SORT", "WINDOW", "CONDITIONAL",
)


@dataclass(frozen=True, slots=True)
class SourceColumn:
    """A table column that an output column is made from."""

    database: str | None  # the table's qualifier: every part before its name, joined by "."
    table: str
    column: str  # "*" when the table's columns are unknown and the query reads them all
    transformation: Transformation
    # True when the query does not say which of several sources holds the column:
    # the engine then lists every candidate, each marked ambiguous.
    ambiguous: bool = False

    @property
    def qualified_table(self) -> str:
        return self.table if self.database is None else f"{self.database}.{self.table}"


@dataclass(frozen=True, slots=True)
class OutputColumn:
    """One column the statement produces (named after the target column it fills, if any)."""

    name: str
    sources: tuple[SourceColumn, ...]


@dataclass(frozen=True, slots=True)
class IndirectSource:
    """A table column that decides which rows the statement produces, or their order."""

    database: str | None
    table: str
    column: str
    kind: IndirectKind
    ambiguous: bool = False

    @property
    def qualified_table(self) -> str:
        return self.table if self.database is None else f"{self.database}.{self.table}"


@dataclass(frozen=True, slots=True)
class StatementLineage:
    """The lineage of one statement, or why it has none."""

    index: int  # 1-based number of the statement in the text analysed
    line: int  # 1-based line where the statement starts in that text
    kind: StatementKind
    target: str | None  # the table written, as the statement names it ("db.t"); None for a query
    status: Status
    message: str | None  # why it was skipped or failed; None when ok
    columns: tuple[OutputColumn, ...] = ()
    indirect: tuple[IndirectSource, ...] = ()
    # Warnings that did not stop the analysis: unresolved or ambiguous names,
    # constructs read only for their column references.
    problems: tuple[str, ...] = ()
    sql: str = ""  # the statement's text

    def rows(self) -> list[tuple[str | None, str, str, str, Transformation, bool]]:
        """Direct lineage flattened: (database, table, source column, output column,
        transformation, ambiguous), in output order."""
        return [
            (s.database, s.table, s.column, c.name, s.transformation, s.ambiguous)
            for c in self.columns
            for s in c.sources
        ]

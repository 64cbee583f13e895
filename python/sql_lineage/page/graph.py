"""The lineage of a run as a graph for the page: boxes of columns and the edges between them.

Source columns are grouped by table; output columns by the table a statement
writes, or by the statement itself for a plain query. A table that one statement
writes and another reads is one box, so a chain of columns can be followed
through a whole script. Names are matched case-insensitively, as SQL does for
unquoted names; each box and column keeps the spelling it was first seen with.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, field

from ..results import StatementLineage

# A statement and the name of the file (or other source) it came from; None
# when the run had one text without a name, as in the local web app.
PageStatement = tuple[str | None, StatementLineage]


@dataclass
class Group:
    key: tuple[str, ...]
    label: str
    kind: str  # "table" or "query"
    columns: list[int] = field(default_factory=list)  # column ids, in first-seen order


@dataclass
class Column:
    group: int
    name: str


@dataclass(frozen=True)
class Edge:
    """Direct lineage: `source` column feeds `target` column in `statement`."""

    source: int
    target: int
    statement: int
    transformation: str
    ambiguous: bool


@dataclass(frozen=True)
class IndirectEdge:
    """Indirect lineage: `source` column decides the rows that `statement` writes."""

    source: int
    statement: int
    kind: str
    ambiguous: bool


@dataclass
class Statement:
    label: str
    record: StatementLineage
    group: int | None  # the box holding its output columns; None when it has none
    outputs: list[int] = field(default_factory=list)


@dataclass
class PageGraph:
    groups: list[Group] = field(default_factory=list)
    columns: list[Column] = field(default_factory=list)
    edges: list[Edge] = field(default_factory=list)
    indirect: list[IndirectEdge] = field(default_factory=list)
    statements: list[Statement] = field(default_factory=list)
    _group_ids: dict[tuple[str, ...], int] = field(default_factory=dict)
    _column_ids: dict[tuple[int, str], int] = field(default_factory=dict)

    def group(self, key: tuple[str, ...], label: str, kind: str) -> int:
        found = self._group_ids.get(key)
        if found is None:
            found = self._group_ids[key] = len(self.groups)
            self.groups.append(Group(key, label, kind))
        return found

    def column(self, group: int, name: str) -> int:
        key = (group, name.casefold())
        found = self._column_ids.get(key)
        if found is None:
            found = self._column_ids[key] = len(self.columns)
            self.columns.append(Column(group, name))
            self.groups[group].columns.append(found)
        return found


def statement_label(source: str | None, record: StatementLineage) -> str:
    return f"statement {record.index}" if source is None else f"{source}:{record.index}"


def _table_group(graph: PageGraph, qualified: str) -> int:
    return graph.group(("table", qualified.casefold()), qualified, "table")


def build_graph(statements: Sequence[PageStatement]) -> PageGraph:
    graph = PageGraph()
    for source, record in statements:
        label = statement_label(source, record)
        number = len(graph.statements)
        target: int | None = None
        if record.columns:
            if record.target is not None:
                target = _table_group(graph, record.target)
            else:
                target = graph.group(("query", str(number)), label, "query")
        statement = Statement(label, record, target)
        graph.statements.append(statement)
        for output in record.columns:
            assert target is not None
            made = graph.column(target, output.name)
            if made not in statement.outputs:
                statement.outputs.append(made)
            for origin in output.sources:
                read = graph.column(_table_group(graph, origin.qualified_table), origin.column)
                graph.edges.append(
                    Edge(read, made, number, origin.transformation, origin.ambiguous)
                )
        for condition in record.indirect:
            read = graph.column(_table_group(graph, condition.qualified_table), condition.column)
            graph.indirect.append(IndirectEdge(read, number, condition.kind, condition.ambiguous))
    return graph

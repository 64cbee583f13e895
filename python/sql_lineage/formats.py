"""The output formats: an aligned table, JSON, CSV, and Graphviz / Mermaid graphs."""

from __future__ import annotations

import csv
import json
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import TextIO

from .report import StatementResult, split_table_name

Writer = Callable[[Sequence[StatementResult], TextIO], None]

TABLE_HEADERS = ("statement", "target", "database", "table", "source column", "output column")
CSV_HEADERS = (
    "file", "statement", "line", "target", "database", "table", "source_column", "output_column",
)


def write_table(results: Sequence[StatementResult], out: TextIO) -> None:
    lines: list[tuple[str, ...]] = [TABLE_HEADERS]
    for result in results:
        for database, table, src, tgt in result.rows:
            lines.append((result.label, result.target or "-", database or "-", table, src, tgt))
    widths = [max(len(line[i]) for line in lines) for i in range(len(TABLE_HEADERS))]
    lines.insert(1, tuple("-" * width for width in widths))
    for line in lines:
        cells = [cell.ljust(width) for cell, width in zip(line[:-1], widths)]
        out.write("  ".join([*cells, line[-1]]) + "\n")


def write_csv(results: Sequence[StatementResult], out: TextIO) -> None:
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(CSV_HEADERS)
    for result in results:
        for database, table, src, tgt in result.rows:
            writer.writerow(
                (result.source, result.number, result.line, result.target or "", database or "",
                 table, src, tgt)
            )


def write_json(results: Sequence[StatementResult], out: TextIO) -> None:
    """Every statement, with its lineage, or why it was skipped or failed."""
    document = [
        {
            "file": result.source,
            "statement": result.number,
            "line": result.line,
            "kind": result.kind,
            "target": result.target,
            "status": result.status,
            "message": result.message,
            "lineage": [
                {"database": database, "table": table, "source_column": src, "output_column": tgt}
                for database, table, src, tgt in result.rows
            ],
        }
        for result in results
    ]
    json.dump(document, out, indent=2, ensure_ascii=False)
    out.write("\n")


# Graphs. Source columns are grouped by table; output columns by the table a
# statement writes, or by the statement itself for a plain query. A table that
# one statement writes and another reads is one group, so the picture follows
# the data through the whole run.

@dataclass
class Group:
    label: str
    is_query: bool
    columns: dict[str, int] = field(default_factory=dict)  # column name -> node number


@dataclass
class Graph:
    groups: dict[tuple[object, ...], Group] = field(default_factory=dict)
    edges: dict[tuple[int, int], None] = field(default_factory=dict)  # ordered set
    nodes: int = 0

    def node(self, key: tuple[object, ...], label: str, is_query: bool, column: str) -> int:
        group = self.groups.setdefault(key, Group(label, is_query))
        if column not in group.columns:
            group.columns[column] = self.nodes
            self.nodes += 1
        return group.columns[column]


def build_graph(results: Sequence[StatementResult]) -> Graph:
    graph = Graph()
    for result in results:
        if result.target is not None:
            target_key, target_label = _table_group(*split_table_name(result.target))
            target_is_query = False
        else:
            target_key, target_label = ("query", result.source, result.number), result.label
            target_is_query = True
        for database, table, src, tgt in result.rows:
            source_key, source_label = _table_group(database, table)
            source = graph.node(source_key, source_label, False, src)
            output = graph.node(target_key, target_label, target_is_query, tgt)
            graph.edges[(source, output)] = None
    return graph


def _table_group(database: str | None, table: str) -> tuple[tuple[object, ...], str]:
    label = table if database is None else f"{database}.{table}"
    return ("table", database, table), label


def _dot_string(text: str) -> str:
    escaped = text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n").replace("\r", "")
    return f'"{escaped}"'


def write_dot(results: Sequence[StatementResult], out: TextIO) -> None:
    graph = build_graph(results)
    out.write("digraph lineage {\n")
    out.write("  rankdir=LR;\n")
    out.write('  node [shape=box, style=rounded, fontname="Helvetica"];\n')
    out.write('  graph [fontname="Helvetica"];\n')
    for number, group in enumerate(graph.groups.values()):
        out.write(f"  subgraph cluster_{number} {{\n")
        out.write(f"    label={_dot_string(group.label)};\n")
        if group.is_query:
            out.write('    style="dashed";\n')
        else:
            out.write('    style="filled"; fillcolor="#f2f2f2";\n')
        for column, node in group.columns.items():
            out.write(f"    n{node} [label={_dot_string(column)}];\n")
        out.write("  }\n")
    for source, output in graph.edges:
        out.write(f"  n{source} -> n{output};\n")
    out.write("}\n")


def _mermaid_string(text: str) -> str:
    # Inside a quoted label only the entity syntax is special: "#...;" and the quote.
    escaped = text.replace("#", "#35;").replace('"', "#quot;").replace("\n", " ").replace("\r", "")
    return f'"{escaped}"'


def write_mermaid(results: Sequence[StatementResult], out: TextIO) -> None:
    graph = build_graph(results)
    out.write("flowchart LR\n")
    for number, group in enumerate(graph.groups.values()):
        out.write(f"  subgraph g{number}[{_mermaid_string(group.label)}]\n")
        for column, node in group.columns.items():
            out.write(f"    n{node}[{_mermaid_string(column)}]\n")
        out.write("  end\n")
    for source, output in graph.edges:
        out.write(f"  n{source} --> n{output}\n")


FORMATS: dict[str, Writer] = {
    "table": write_table,
    "json": write_json,
    "csv": write_csv,
    "dot": write_dot,
    "mermaid": write_mermaid,
}

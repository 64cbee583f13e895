"""The output formats: an aligned table, JSON, CSV, Graphviz / Mermaid graphs and
OpenLineage events.

Every writer takes the run's `Report`. With `--engine spec` the table, JSON and
CSV keep the columns that engine has always written; the full engine adds each
row's transformation and ambiguity, each statement's indirect lineage and problems.
"""

from __future__ import annotations

import csv
import json
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import TextIO

from .report import Report, StatementResult, split_qualified_name, split_table_name

Writer = Callable[[Report, TextIO], None]

TABLE_HEADERS = ("statement", "target", "database", "table", "source column", "output column")
CSV_HEADERS = (
    "file", "statement", "line", "target", "database", "table", "source_column", "output_column",
)
FULL_TABLE_HEADERS = (*TABLE_HEADERS, "transformation")
FULL_CSV_HEADERS = (*CSV_HEADERS, "transformation", "ambiguous")
AMBIGUOUS_MARK = " (ambiguous)"


def write_table(report: Report, out: TextIO) -> None:
    lines: list[tuple[str, ...]] = [FULL_TABLE_HEADERS if report.full else TABLE_HEADERS]
    for result in report.results:
        head = (result.label, result.target or "-")
        if report.full:
            for r in result.full_rows():
                kind = r.transformation + (AMBIGUOUS_MARK if r.ambiguous else "")
                lines.append((*head, r.database or "-", r.table, r.source_column, r.output_column, kind))
        else:
            for database, table, src, tgt in result.rows:
                lines.append((*head, database or "-", table, src, tgt))
    count = len(lines[0])
    widths = [max(len(line[i]) for line in lines) for i in range(count)]
    lines.insert(1, tuple("-" * width for width in widths))
    for line in lines:
        cells = [cell.ljust(width) for cell, width in zip(line[:-1], widths)]
        out.write("  ".join([*cells, line[-1]]) + "\n")


def write_csv(report: Report, out: TextIO) -> None:
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(FULL_CSV_HEADERS if report.full else CSV_HEADERS)
    for result in report.results:
        head = (result.source, result.number, result.line, result.target or "")
        if report.full:
            for r in result.full_rows():
                writer.writerow((*head, r.database or "", r.table, r.source_column, r.output_column,
                                 r.transformation, "yes" if r.ambiguous else ""))
        else:
            for database, table, src, tgt in result.rows:
                writer.writerow((*head, database or "", table, src, tgt))


def statement_document(result: StatementResult, full: bool) -> dict[str, object]:
    """One statement as JSON: its place, kind, target, outcome and lineage."""
    document: dict[str, object] = {
        "file": result.source,
        "statement": result.number,
        "line": result.line,
        "kind": result.kind,
        "target": result.target,
        "status": result.status,
        "message": result.message,
    }
    if not full:
        document["lineage"] = [
            {"database": database, "table": table, "source_column": src, "output_column": tgt}
            for database, table, src, tgt in result.rows
        ]
        return document
    document["lineage"] = [
        {"database": r.database, "table": r.table, "source_column": r.source_column,
         "output_column": r.output_column, "transformation": r.transformation,
         "ambiguous": r.ambiguous}
        for r in result.full_rows()
    ]
    document["indirect"] = [
        {"database": i.database, "table": i.table, "column": i.column, "kind": i.kind,
         "ambiguous": i.ambiguous}
        for i in result.indirect
    ]
    document["problems"] = list(result.problems)
    return document


def write_json(report: Report, out: TextIO) -> None:
    """Every statement, with its lineage, or why it was skipped or failed."""
    document = [statement_document(result, report.full) for result in report.results]
    json.dump(document, out, indent=2, ensure_ascii=False)
    out.write("\n")


# Graphs. Source columns are grouped by table; output columns by the table a
# statement writes, or by the statement itself for a plain query. A table that
# one statement writes and another reads is one group, so the picture follows
# the data through the whole run. Indirect lineage (columns that decide which
# rows a statement writes) points at the whole output group, dashed.

@dataclass
class Group:
    label: str
    is_query: bool
    columns: dict[str, int] = field(default_factory=dict)  # column name -> node number


@dataclass
class Graph:
    groups: dict[tuple[object, ...], Group] = field(default_factory=dict)
    # (source node, output node) -> ambiguous; an ordered set
    edges: dict[tuple[int, int], bool] = field(default_factory=dict)
    # (source node, output group key, kind); an ordered set
    indirect: dict[tuple[int, tuple[object, ...], str], None] = field(default_factory=dict)
    nodes: int = 0

    def node(self, key: tuple[object, ...], label: str, is_query: bool, column: str) -> int:
        group = self.groups.setdefault(key, Group(label, is_query))
        if column not in group.columns:
            group.columns[column] = self.nodes
            self.nodes += 1
        return group.columns[column]

    def group_numbers(self) -> dict[tuple[object, ...], int]:
        return {key: number for number, key in enumerate(self.groups)}


def build_graph(report: Report) -> Graph:
    graph = Graph()
    split = split_qualified_name if report.full else split_table_name
    for result in report.results:
        if result.target is not None:
            target_key, target_label = _table_group(*split(result.target))
            target_is_query = False
        else:
            target_key, target_label = ("query", result.source, result.number), result.label
            target_is_query = True
        for r in result.full_rows():
            source_key, source_label = _table_group(r.database, r.table)
            source = graph.node(source_key, source_label, False, r.source_column)
            output = graph.node(target_key, target_label, target_is_query, r.output_column)
            graph.edges[(source, output)] = graph.edges.get((source, output), True) and r.ambiguous
        if target_key not in graph.groups:
            continue  # nothing is drawn for a statement without output columns
        for i in result.indirect:
            source_key, source_label = _table_group(i.database, i.table)
            source = graph.node(source_key, source_label, False, i.column)
            graph.indirect[(source, target_key, i.kind)] = None
    return graph


def _table_group(database: str | None, table: str) -> tuple[tuple[object, ...], str]:
    label = table if database is None else f"{database}.{table}"
    return ("table", database, table), label


def _dot_string(text: str) -> str:
    escaped = text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n").replace("\r", "")
    return f'"{escaped}"'


def write_dot(report: Report, out: TextIO) -> None:
    graph = build_graph(report)
    out.write("digraph lineage {\n")
    out.write("  rankdir=LR;\n")
    if graph.indirect:
        out.write("  compound=true;\n")  # lets an edge end at a group's border
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
    for (source, output), ambiguous in graph.edges.items():
        out.write(f"  n{source} -> n{output}{' [style=dotted]' if ambiguous else ''};\n")
    numbers = graph.group_numbers()
    for source, key, kind in graph.indirect:
        columns = graph.groups[key].columns.values()
        anchor = next(iter(columns))
        # An edge can end at the border of a group only from outside it (a
        # statement that reads the table it writes points at one of its columns).
        border = "" if source in columns else f"lhead=cluster_{numbers[key]}, "
        out.write(
            f"  n{source} -> n{anchor} [{border}style=dashed, "
            f'label="{kind}", fontsize=9, fontname="Helvetica"];\n'
        )
    out.write("}\n")


def _mermaid_string(text: str) -> str:
    # Inside a quoted label only the entity syntax is special: "#...;" and the quote.
    escaped = text.replace("#", "#35;").replace('"', "#quot;").replace("\n", " ").replace("\r", "")
    return f'"{escaped}"'


def write_mermaid(report: Report, out: TextIO) -> None:
    graph = build_graph(report)
    out.write("flowchart LR\n")
    for number, group in enumerate(graph.groups.values()):
        out.write(f"  subgraph g{number}[{_mermaid_string(group.label)}]\n")
        for column, node in group.columns.items():
            out.write(f"    n{node}[{_mermaid_string(column)}]\n")
        out.write("  end\n")
    for (source, output), ambiguous in graph.edges.items():
        out.write(f"  n{source} {'-- ? -->' if ambiguous else '-->'} n{output}\n")
    numbers = graph.group_numbers()
    for source, key, kind in graph.indirect:
        columns = graph.groups[key].columns.values()
        # A link from inside a group to the group itself breaks Mermaid's layout.
        end = f"n{next(iter(columns))}" if source in columns else f"g{numbers[key]}"
        out.write(f"  n{source} -. {kind} .-> {end}\n")


def write_openlineage(report: Report, out: TextIO) -> None:
    # The client library is imported only when these events are asked for.
    from .openlineage_events import write_events

    write_events(report, out)


# The formats `-f` offers. A new format is a writer registered here.
FORMATS: dict[str, Writer] = {
    "table": write_table,
    "json": write_json,
    "csv": write_csv,
    "dot": write_dot,
    "mermaid": write_mermaid,
    "openlineage": write_openlineage,
}

"""Script lineage: one column's chain through every statement of a run.

The direct lineage of all statements forms one graph whose nodes are table
columns (and the output columns of plain queries). A table that one statement
writes and another reads is the same node, so `upstream` walks from a column
back through the statements that made it to the columns nothing in the run
writes, and `downstream` walks forward to everything made from it. Names match
case-insensitively; statement order is not taken into account (a script's views
may be defined in any order).
"""

from __future__ import annotations

import json
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from typing import Literal, TextIO

from .report import StatementResult, split_qualified_name

Direction = Literal["upstream", "downstream"]
Key = tuple[str, str]  # (table as written lower-cased, column lower-cased)
STAR = "*"
QUERY_MARK = "\0"  # starts the table of a plain query's outputs: no real name does


@dataclass(frozen=True, slots=True)
class Node:
    table: str        # "db.t", "t", or QUERY_MARK + "file:N" for the output of a plain query
    column: str

    @property
    def key(self) -> Key:
        return self.table.lower(), self.column.lower()

    @property
    def name(self) -> str:
        if self.table.startswith(QUERY_MARK):
            return f"{self.column} (output of {self.table[len(QUERY_MARK):]})"
        return f"{self.table}.{self.column}"


@dataclass(frozen=True, slots=True)
class Step:
    source: Node
    output: Node
    statement: str    # "file:N"
    transformation: str
    ambiguous: bool


@dataclass
class ScriptGraph:
    nodes: dict[Key, Node] = field(default_factory=dict)
    into: dict[Key, list[Step]] = field(default_factory=dict)   # steps that produce a node
    out_of: dict[Key, list[Step]] = field(default_factory=dict)  # steps that read a node

    def add(self, step: Step) -> None:
        for node in (step.source, step.output):
            self.nodes.setdefault(node.key, node)
        self.into.setdefault(step.output.key, []).append(step)
        self.out_of.setdefault(step.source.key, []).append(step)

    def producers(self, node: Node) -> list[Step]:
        key = node.key
        steps = self.into.get(key, [])
        if steps or key[1] == STAR:
            return steps
        # A statement that copies all of a table whose columns it does not know
        # writes "*": every column of the written table comes from the column of
        # the same name there.
        return [_through_star(step, node.column) for step in self.into.get((key[0], STAR), [])]

    def readers(self, node: Node) -> list[Step]:
        key = node.key
        steps = self.out_of.get(key, [])
        if key[1] == STAR:
            return steps
        return steps + [_through_star(step, node.column) for step in self.out_of.get((key[0], STAR), [])]


def _through_star(step: Step, column: str) -> Step:
    """A "*" step as seen by one column: star to star carries the column's name."""
    source = Node(step.source.table, column) if step.source.column == STAR else step.source
    output = Node(step.output.table, column) if step.output.column == STAR else step.output
    return Step(source, output, step.statement, step.transformation, step.ambiguous)


def build_script_graph(results: Sequence[StatementResult]) -> ScriptGraph:
    graph = ScriptGraph()
    for result in results:
        target = result.target if result.target is not None else QUERY_MARK + result.label
        for r in result.full_rows():
            table = r.table if r.database is None else f"{r.database}.{r.table}"
            graph.add(Step(Node(table, r.source_column), Node(target, r.output_column),
                           result.label, r.transformation, r.ambiguous))
    return graph


def parse_column(text: str) -> tuple[str | None, str, str] | None:
    """"[db.]table.column" as (qualifier, table, column); None when it has no table part."""
    qualified, dot, column = text.rpartition(".")
    if not dot or not qualified or not column:
        return None
    qualifier, table = split_qualified_name(qualified)
    return qualifier, table, column


def matching_nodes(graph: ScriptGraph, wanted: str) -> list[Node]:
    """Nodes named by `wanted`; without a qualifier, the column of every table of that name."""
    parsed = parse_column(wanted)
    if parsed is None:
        return []
    qualifier, table, column = (None if p is None else p.lower() for p in parsed)
    found: dict[Key, Node] = {}
    for node in graph.nodes.values():
        if node.table.startswith(QUERY_MARK):
            continue  # the output of a plain query has no table name to match
        node_qualifier, node_table = split_qualified_name(node.table.lower())
        if node_table != table or qualifier not in (None, node_qualifier):
            continue
        if node.key[1] == column:
            found[node.key] = node
        elif node.column == STAR:
            # Known only as a whole: the column is there by name.
            found.setdefault((node.key[0], parsed[2].lower()), Node(node.table, parsed[2]))
    return [found[key] for key in sorted(found)]


@dataclass(frozen=True, slots=True)
class Visit:
    depth: int
    step: Step
    seen: bool        # the node it reaches was already expanded above


def walk(graph: ScriptGraph, start: Node, direction: Direction) -> Iterator[Visit]:
    """Depth first, each node expanded once (scripts may write a table from itself)."""
    expanded = {start.key}
    stack: list[tuple[int, Step]] = []

    def push(node: Node, depth: int) -> None:
        steps = graph.producers(node) if direction == "upstream" else graph.readers(node)
        stack.extend((depth, step) for step in reversed(steps))

    push(start, 0)
    while stack:
        depth, step = stack.pop()
        reached = step.source if direction == "upstream" else step.output
        seen = reached.key in expanded
        yield Visit(depth, step, seen)
        if not seen:
            expanded.add(reached.key)
            push(reached, depth + 1)


def write_trace_text(graph: ScriptGraph, wanted: str, direction: Direction, out: TextIO) -> bool:
    """Prints the chain of every column `wanted` names; False when it names none."""
    starts = matching_nodes(graph, wanted)
    if not starts:
        out.write(f"{wanted}: no statement of the run reads or writes this column\n")
        return False
    arrow = "<-" if direction == "upstream" else "->"
    for number, start in enumerate(starts):
        if number:
            out.write("\n")
        out.write(f"{start.name}\n")
        visits = list(walk(graph, start, direction))
        if not visits:
            what = "writes" if direction == "upstream" else "reads"
            out.write(f"  (no statement of the run {what} this column)\n")
        for visit in visits:
            step = visit.step
            reached = step.source if direction == "upstream" else step.output
            notes = [step.transformation, step.statement]
            if step.ambiguous:
                notes.append("ambiguous")
            if visit.seen:
                notes.append("see above")
            out.write(f"{'  ' * (visit.depth + 1)}{arrow} {reached.name}  ({', '.join(notes)})\n")
    return True


def write_trace_json(graph: ScriptGraph, wanted: str, direction: Direction, out: TextIO) -> bool:
    starts = matching_nodes(graph, wanted)
    document = {
        "column": wanted,
        "direction": direction,
        "matches": [
            {
                "column": start.name,
                "steps": [
                    {
                        "depth": visit.depth,
                        "from": visit.step.source.name,
                        "to": visit.step.output.name,
                        "statement": visit.step.statement,
                        "transformation": visit.step.transformation,
                        "ambiguous": visit.step.ambiguous,
                    }
                    for visit in walk(graph, start, direction)
                ],
            }
            for start in starts
        ],
    }
    json.dump(document, out, indent=2, ensure_ascii=False)
    out.write("\n")
    return bool(starts)

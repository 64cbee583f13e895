"""Where each box goes: Graphviz `dot` lays the boxes out left to right.

Each box is one dot node with the size of the box fully expanded, and the
columns are rows inside it that the page draws itself, so dot works on tables,
not on thousands of columns, and collapsing a box in the page keeps every other
box where it was.
"""

from __future__ import annotations

import shutil
import subprocess
from collections.abc import Sequence
from dataclasses import dataclass

from .graph import PageGraph

# Sizes in page pixels (dot's points, 72 to the inch).
HEADER = 26
ROW = 18
PADDING = 6
CHAR = 7  # a generous average width of a 12 px sans-serif character
BOLD_CHAR = 7.8  # and of the header's bold 12.5 px
MIN_WIDTH = 120
MAX_WIDTH = 320
POINTS_PER_INCH = 72.0
DOT_TIMEOUT = 300.0  # seconds; dot finishes 500 boxes in a few


class LayoutError(Exception):
    """The layout could not be made; the message says why and what to do."""


@dataclass(frozen=True)
class Box:
    x: float  # left
    y: float  # top
    width: float
    height: float


def box_size(graph: PageGraph, group: int) -> tuple[float, float]:
    found = graph.groups[group]
    # The header is bold and starts after the collapse marker; rows are plain.
    wanted = max([len(found.label) * BOLD_CHAR + 40, *(len(graph.columns[c].name) * CHAR + 32
                                                       for c in found.columns)])
    width = min(MAX_WIDTH, max(MIN_WIDTH, round(wanted)))
    return float(width), float(HEADER + ROW * len(found.columns) + PADDING)


def dot_source(graph: PageGraph) -> str:
    lines = [
        "digraph lineage {",
        # Separate parts of the run side by side, not in one long column.
        "  rankdir=LR; nodesep=0.35; ranksep=1.4; pack=true;",
        '  node [shape=box, fixedsize=true, label=""];',
    ]
    for number in range(len(graph.groups)):
        width, height = box_size(graph, number)
        lines.append(
            f"  g{number} [width={width / POINTS_PER_INCH:.4f}, "
            f"height={height / POINTS_PER_INCH:.4f}];"
        )
    weights: dict[tuple[int, int], int] = {}
    pairs = [(graph.columns[e.source].group, graph.columns[e.target].group) for e in graph.edges]
    for edge in graph.indirect:
        target = graph.statements[edge.statement].group
        if target is not None:
            pairs.append((graph.columns[edge.source].group, target))
    for pair in pairs:
        if pair[0] != pair[1]:
            weights[pair] = weights.get(pair, 0) + 1
    for (source, target), weight in weights.items():
        lines.append(f"  g{source} -> g{target} [weight={weight}];")
    lines.append("}")
    return "\n".join(lines) + "\n"


def layout(graph: PageGraph, dot: str = "dot", timeout: float = DOT_TIMEOUT) -> list[Box]:
    """One box per group, top-left origin, from `dot`'s plain output."""
    if not graph.groups:
        return []
    program = shutil.which(dot)
    if program is None:
        raise LayoutError(
            "the page is laid out by Graphviz's 'dot', which is not installed: install the "
            "'graphviz' package (apt-get install graphviz, brew install graphviz)"
        )
    try:
        done = subprocess.run(
            [program, "-Tplain"], input=dot_source(graph), capture_output=True, text=True,
            timeout=timeout, check=False,
        )
    except subprocess.TimeoutExpired:
        raise LayoutError(f"'dot' took more than {timeout:g} seconds to lay out the page") from None
    except OSError as exc:
        raise LayoutError(f"cannot run 'dot': {exc}") from None
    if done.returncode != 0:
        raise LayoutError(f"'dot' failed: {done.stderr.strip() or f'exit status {done.returncode}'}")
    return _read_plain(done.stdout, len(graph.groups))


def _read_plain(text: str, count: int) -> list[Box]:
    height = 0.0
    centres: dict[int, tuple[float, float, float, float]] = {}
    for line in text.splitlines():
        fields = line.split()
        if fields[:1] == ["graph"]:
            height = float(fields[3])
        elif fields[:1] == ["node"] and fields[1].startswith("g"):
            x, y, w, h = (float(v) for v in fields[2:6])
            centres[int(fields[1][1:])] = (x, y, w, h)
    if len(centres) != count:
        raise LayoutError(f"'dot' placed {len(centres)} of {count} boxes")
    boxes = []
    for number in range(count):
        x, y, w, h = centres[number]
        # dot's origin is bottom left; the page's is top left.
        boxes.append(Box(
            round((x - w / 2) * POINTS_PER_INCH, 1), round((height - y - h / 2) * POINTS_PER_INCH, 1),
            round(w * POINTS_PER_INCH, 1), round(h * POINTS_PER_INCH, 1),
        ))
    return boxes


def order_rows(graph: PageGraph, boxes: Sequence[Box]) -> None:
    """Sorts the rows of each table that no statement writes by the height of what
    they feed, so that fewer edges cross: rows with direct lineage first, then rows
    with indirect lineage only (hidden at first), then the rest. Written tables keep
    the statements' order."""
    written = {s.group for s in graph.statements if s.group is not None}
    row_of = {column: row for g in graph.groups for row, column in enumerate(g.columns)}
    direct: dict[int, list[float]] = {}
    indirect: dict[int, list[float]] = {}
    for edge in graph.edges:
        box = boxes[graph.columns[edge.target].group]
        direct.setdefault(edge.source, []).append(box.y + HEADER + ROW * row_of[edge.target])
    for condition in graph.indirect:
        target = graph.statements[condition.statement].group
        if target is not None:
            indirect.setdefault(condition.source, []).append(boxes[target].y + HEADER / 2)

    def place(column: int) -> tuple[int, float]:
        for rank, feeds in enumerate((direct, indirect)):
            if column in feeds:
                return rank, sum(feeds[column]) / len(feeds[column])
        return 2, 0.0

    for number, group in enumerate(graph.groups):
        if number not in written:
            group.columns.sort(key=place)

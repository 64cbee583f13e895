"""The page itself: the graph and its layout as JSON inside one HTML file with its own
script and style, so it opens anywhere without a network."""

from __future__ import annotations

import html
import json
import re
from collections.abc import Sequence
from importlib import resources
from typing import Any

from .graph import PageGraph, PageStatement, build_graph
from .layout import HEADER, PADDING, ROW, Box, layout, order_rows

# The file page may load nothing at all; the web app's page may also call home.
FILE_POLICY = "default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; img-src data:"
APP_POLICY = FILE_POLICY + "; connect-src 'self'"

_MARKER = re.compile(r"@@([A-Z]+)@@")


def asset(name: str) -> str:
    return resources.files(__package__).joinpath("assets", name).read_text(encoding="utf-8")


def page_data(graph: PageGraph, boxes: Sequence[Box]) -> dict[str, Any]:
    """What the page's script draws: plain lists, small enough for thousands of columns."""
    written = {s.group for s in graph.statements if s.record.target is not None}
    groups = []
    for number, (group, box) in enumerate(zip(graph.groups, boxes)):
        kind = "query" if group.kind == "query" else "target" if number in written else "table"
        groups.append({
            "label": group.label, "kind": kind, "columns": group.columns,
            "x": box.x, "y": box.y, "w": box.width, "h": box.height,
        })
    statements = [
        {
            "label": s.label, "kind": s.record.kind, "target": s.record.target,
            "status": s.record.status, "message": s.record.message, "line": s.record.line,
            "problems": list(s.record.problems), "sql": s.record.sql, "group": s.group,
            "outputs": s.outputs,
        }
        for s in graph.statements
    ]
    summary = {"statements": len(statements)}
    for status in ("ok", "skipped", "failed"):
        summary[status] = sum(s["status"] == status for s in statements)
    return {
        "metrics": {"header": HEADER, "row": ROW, "padding": PADDING},
        "width": max((b.x + b.width for b in boxes), default=0.0),
        "height": max((b.y + b.height for b in boxes), default=0.0),
        "groups": groups,
        "columns": [[c.group, c.name] for c in graph.columns],
        "edges": [
            [e.source, e.target, e.statement, e.transformation, int(e.ambiguous)]
            for e in graph.edges
        ],
        "indirect": [[e.source, e.statement, e.kind, int(e.ambiguous)] for e in graph.indirect],
        "statements": statements,
        "summary": summary,
        "empty": _empty_message(graph),
    }


def _empty_message(graph: PageGraph) -> str | None:
    if not graph.statements:
        return "No SQL statements in this run."
    if graph.columns:
        return None
    count = len(graph.statements)
    return (
        f"No column lineage in this run: none of its {count} statement{'s' if count != 1 else ''} "
        "has a column that comes from a table. The panel lists what happened to each."
    )


def run_data(statements: Sequence[PageStatement], dot: str = "dot") -> dict[str, Any]:
    """Graph, layout and page data of a run; LayoutError when dot cannot lay it out."""
    graph = build_graph(statements)
    boxes = layout(graph, dot)
    order_rows(graph, boxes)
    return page_data(graph, boxes)


def embed_json(value: object) -> str:
    """JSON that is safe inside a <script> element: nothing in it can close the element
    or open a comment, whatever the names and SQL hold."""
    text = json.dumps(value, ensure_ascii=False, separators=(",", ":"))
    return (
        text.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")
        .replace("\u2028", "\\u2028").replace("\u2029", "\\u2029")
    )


def fill(template: str, values: dict[str, str]) -> str:
    """Replace each @@NAME@@ once, in one pass, so inserted text is never read again."""
    return _MARKER.sub(lambda m: values[m.group(1)], template)


def page_html(data: dict[str, Any] | None, title: str, app: str = "") -> str:
    """The page; `data` None draws nothing until the web app's script calls render."""
    script = asset("page.js") + ("\n" + asset("app.js") if app else "")
    return fill(asset("page.html"), {
        "CSP": APP_POLICY if app else FILE_POLICY,
        "TITLE": html.escape(title),
        "STYLE": asset("page.css"),
        "APP": app,
        "DATA": embed_json(data),
        "SCRIPT": script,
    })


def write_page(statements: Sequence[PageStatement], path: str, title: str, dot: str = "dot") -> None:
    text = page_html(run_data(statements, dot), title)
    with open(path, "w", encoding="utf-8") as out:
        out.write(text)

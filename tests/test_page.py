"""The lineage page without a browser: the graph it draws, its layout, escaping, empty runs."""

from __future__ import annotations

import json
import shutil
from html.parser import HTMLParser

import pytest

from sql_lineage.page import LayoutError, build_graph, page_html, run_data
from sql_lineage.page.command import page_statements
from sql_lineage.page.layout import Box, layout, order_rows
from sql_lineage.report import StatementResult
from support.page_runs import HOSTILE, HOSTILE_NAME, SCRIPT, cond, src, stmt

needs_dot = pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz 'dot' is not installed")


def named_edges(graph):
    def name(column):
        found = graph.columns[column]
        return f"{graph.groups[found.group].label}.{found.name}"
    return {(name(e.source), name(e.target), graph.statements[e.statement].label, e.transformation)
            for e in graph.edges}


@pytest.mark.parametrize("run, groups, edges", [
    (SCRIPT, {
        "raw.orders": ["id", "amount", "region"], "raw.fx": ["rate"],
        "stage.orders": ["id", "net"], "mart.revenue": ["total"], "report.sql:1": ["total_k"],
    }, {
        ("raw.orders.id", "stage.orders.id", "etl.sql:1", "IDENTITY"),
        ("raw.orders.amount", "stage.orders.net", "etl.sql:1", "TRANSFORMATION"),
        ("raw.fx.rate", "stage.orders.net", "etl.sql:1", "TRANSFORMATION"),
        ("stage.orders.net", "mart.revenue.total", "etl.sql:2", "AGGREGATION"),
        # Another spelling of the same table and column is the same box and row.
        ("mart.revenue.total", "report.sql:1.total_k", "report.sql:1", "TRANSFORMATION"),
    }),
    # One text without a file name; two queries get a box each.
    ([(None, stmt(n, None, [("a", [src("t", "A")])])) for n in (1, 2)],
     {"statement 1": ["a"], "statement 2": ["a"], "t": ["A"]},
     {("t.A", "statement 1.a", "statement 1", "IDENTITY"),
      ("t.A", "statement 2.a", "statement 2", "IDENTITY")}),
])
def test_graph_groups_and_edges(run, groups, edges):
    graph = build_graph(run)
    assert {g.label: [graph.columns[c].name for c in g.columns] for g in graph.groups} == groups
    assert named_edges(graph) == edges


def test_graph_indirect_lineage_and_statements_without_columns():
    graph = build_graph(SCRIPT)
    indirect = {(graph.columns[e.source].name, graph.statements[e.statement].label, e.kind)
                for e in graph.indirect}
    assert indirect == {("region", "etl.sql:1", "FILTER"), ("id", "etl.sql:2", "GROUP_BY")}
    skipped = graph.statements[3]
    assert (skipped.label, skipped.group, skipped.outputs) == ("etl.sql:3", None, [])


class Page(HTMLParser):
    """The parts of the page that an injection would change."""

    def __init__(self, text):
        super().__init__()
        self.tags: list[str] = []
        self.scripts: list[str] = []
        self.title = ""
        self._in = None
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        self.tags.append(tag)
        self._in = tag
        if tag == "script":
            self.scripts.append("")

    def handle_endtag(self, tag):
        self._in = None

    def handle_data(self, data):
        if self._in == "script":
            self.scripts[-1] += data
        elif self._in == "title":
            self.title += data


@needs_dot
def test_hostile_names_stay_data():
    data = run_data(HOSTILE)
    page = Page(page_html(data, f"title {HOSTILE_NAME}"))
    # Only the page's own elements: no <img>, no third script, the title as text.
    assert page.tags.count("script") == 2 and "img" not in page.tags
    assert page.title == f"title {HOSTILE_NAME}"
    embedded = json.loads(page.scripts[0])
    assert embedded == json.loads(json.dumps(data))
    labels = {g["label"] for g in embedded["groups"]}
    assert labels == {f"s.{HOSTILE_NAME}", f"db.{HOSTILE_NAME}"}
    assert {c[1] for c in embedded["columns"]} == {HOSTILE_NAME, f"c{HOSTILE_NAME}"}
    assert embedded["statements"][0]["sql"] == HOSTILE[0][1].sql
    assert embedded["statements"][0]["label"] == f"{HOSTILE[0][0]}:1"


@pytest.mark.parametrize("run, message", [
    ([], "No SQL statements in this run."),
    ([("a.sql", stmt(1, None, [], kind="skipped", status="skipped", message="SET statement"))],
     "No column lineage in this run: none of its 1 statement has a column"),
    (SCRIPT, None),
])
@needs_dot
def test_empty_runs_say_so(run, message):
    empty = run_data(run)["empty"]
    assert empty == message or (message is not None and empty.startswith(message))


@needs_dot
def test_layout_runs_left_to_right_without_overlaps():
    graph = build_graph(SCRIPT)
    boxes = layout(graph)
    for e in graph.edges:
        source, target = boxes[graph.columns[e.source].group], boxes[graph.columns[e.target].group]
        assert source.x + source.width <= target.x
    for i, a in enumerate(boxes):
        for b in boxes[i + 1:]:
            apart = (a.x + a.width <= b.x or b.x + b.width <= a.x
                     or a.y + a.height <= b.y or b.y + b.height <= a.y)
            assert apart, (a, b)


def test_rows_of_read_tables_follow_what_they_feed():
    graph = build_graph([
        ("a.sql", stmt(1, None, [("k", [src("u", "k")])], [cond("s", "f", "FILTER")])),
        ("a.sql", stmt(2, "t", [("x", [src("s", "b")]), ("y", [src("s", "a")]),
                                ("z", [src("t", "z")])])),
    ])
    order = lambda: {g.label: [graph.columns[c].name for c in g.columns] for g in graph.groups}
    assert order()["s"] == ["f", "b", "a"]
    order_rows(graph, [Box(0, 100 * n, 100, 90) for n in range(len(graph.groups))])
    # Direct lineage by the height of its target row, then indirect only; written tables stay.
    assert order() == {"a.sql:1": ["k"], "u": ["k"], "s": ["b", "a", "f"], "t": ["x", "y", "z"]}


def test_missing_dot_is_a_clear_error():
    with pytest.raises(LayoutError, match="install the 'graphviz' package"):
        layout(build_graph(SCRIPT), dot="no-such-dot-program")


def test_spec_results_become_identity_lineage():
    result = StatementResult("r.sql", 2, 5, "insert", "db.t", "ok",
                             rows=(("crm", "c", "id", "cid"), (None, "u", "id", "cid")))
    [(source, record)] = page_statements([result])
    assert (source, record.index, record.line, record.target) == ("r.sql", 2, 5, "db.t")
    assert record.rows() == [("crm", "c", "id", "cid", "IDENTITY", False),
                             (None, "u", "id", "cid", "IDENTITY", False)]


# The command: -f html -o FILE.

def command_page(tmp_path, capsys, *arguments):
    from sql_lineage.cli import main

    pytest.importorskip("querimo_main", reason="the extension is not built", exc_type=ImportError)
    pytest.importorskip("sql_lineage._engine", reason="the full engine is not built", exc_type=ImportError)
    output = tmp_path / "page.html"
    status = main(["-f", "html", "-o", str(output), "-j", "1", "--no-progress", "-q", *arguments])
    return status, output, capsys.readouterr().err


@needs_dot
@pytest.mark.parametrize("engine, indirect", [
    ("spec", set()),
    ("full", {("cust_id", "JOIN"), ("active", "FILTER")}),
])
def test_command_writes_the_page(tmp_path, capsys, engine, indirect):
    status, output, err = command_page(tmp_path, capsys, "--engine", engine, "examples/report.sql")
    assert (status, err) == (0, "")
    page = Page(output.read_text(encoding="utf-8"))
    data = json.loads(page.scripts[0])
    assert page.title == "SQL lineage: examples/report.sql"
    assert {g["label"] for g in data["groups"]} == {"crm.customers", "sales.orders", "examples/report.sql:1"}
    assert {e[3] for e in data["edges"]} == {"IDENTITY"}
    assert {(data["columns"][e[0]][1], e[2]) for e in data["indirect"]} == indirect


@pytest.mark.parametrize("path, dot_on_path, message", [
    ("{tmp}/no/such/folder/page.html", True, "sql-lineage: cannot write {tmp}/no/such/folder/page.html: "),
    ("{tmp}/page.html", False, "sql-lineage: cannot make the page: the page is laid out by Graphviz's 'dot'"),
])
def test_command_reports_what_stops_the_page(tmp_path, capsys, monkeypatch, path, dot_on_path, message):
    from sql_lineage.cli import main

    pytest.importorskip("querimo_main", reason="the extension is not built", exc_type=ImportError)
    if not dot_on_path:
        monkeypatch.setenv("PATH", str(tmp_path))
    elif shutil.which("dot") is None:
        pytest.skip("Graphviz 'dot' is not installed")
    target = path.format(tmp=tmp_path)
    status = main(["--engine", "spec", "-f", "html", "-o", target, "-q", "-j", "1", "examples/report.sql"])
    assert status == 1
    assert capsys.readouterr().err.startswith(message.format(tmp=tmp_path))


def test_command_needs_an_output_file(capsys):
    from sql_lineage.cli import main

    with pytest.raises(SystemExit) as stopped:
        main(["-f", "html", "examples/report.sql"])
    assert stopped.value.code == 2
    assert "-f html writes a page: name its file with -o FILE" in capsys.readouterr().err

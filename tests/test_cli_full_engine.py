"""The sql-lineage command with its default, full engine: formats, schema files,
how sources feed the engine (numbering, schema growth across files, workers),
script lineage and options."""

import csv
import importlib.util
import io
import json
import re
import subprocess
import sys
import types

import pytest

from support.lineage_records import indirect, result, source, statement
from support.command import dot_edges, needs_graphviz, tool
from sql_lineage import engine_run
from sql_lineage.engine_run import EngineOptions, analyse_sources, grow_schema
from sql_lineage.formats import write_csv, write_dot, write_json, write_mermaid, write_table
from sql_lineage.report import Report
from sql_lineage.results import StatementLineage

RESULTS = [
    result(statement(1, "mart.daily", [
        ("day", [source("sales.orders.order_date")]),
        ("revenue", [source("sales.orders.amount", "AGGREGATION"),
                     source("x.amount", "TRANSFORMATION", ambiguous=True)]),
    ], [indirect("ref.stores.store_id", "JOIN")], problems=("column 'amount' is ambiguous",))),
    result(statement(2, None, [("n", [source("cat.db.t.n")])], [indirect("cat.db.t.k", "SORT")])),
    result(statement(3, kind="skipped", status="skipped", message="DELETE statement")),
]


def written(writer, results=RESULTS):
    out = io.StringIO()
    writer(Report(results, "full"), out)
    return out.getvalue()


def test_table_adds_the_transformation_and_marks_ambiguous_rows():
    assert written(write_table) == """\
statement  target      database  table   source column  output column  transformation
---------  ----------  --------  ------  -------------  -------------  --------------------------
f.sql:1    mart.daily  sales     orders  order_date     day            IDENTITY
f.sql:1    mart.daily  sales     orders  amount         revenue        AGGREGATION
f.sql:1    mart.daily  -         x       amount         revenue        TRANSFORMATION (ambiguous)
f.sql:2    -           cat.db    t       n              n              IDENTITY
"""


def test_csv_adds_transformation_and_ambiguous_columns():
    rows = list(csv.reader(io.StringIO(written(write_csv))))
    assert rows == [
        ["file", "statement", "line", "target", "database", "table", "source_column",
         "output_column", "transformation", "ambiguous"],
        ["f.sql", "1", "1", "mart.daily", "sales", "orders", "order_date", "day", "IDENTITY", ""],
        ["f.sql", "1", "1", "mart.daily", "sales", "orders", "amount", "revenue", "AGGREGATION", ""],
        ["f.sql", "1", "1", "mart.daily", "", "x", "amount", "revenue", "TRANSFORMATION", "yes"],
        ["f.sql", "2", "2", "", "cat.db", "t", "n", "n", "IDENTITY", ""],
    ]


def test_json_statements_carry_kinds_indirect_lineage_and_problems():
    first, second, skipped = json.loads(written(write_json))
    assert first["lineage"][2] == {
        "database": None, "table": "x", "source_column": "amount", "output_column": "revenue",
        "transformation": "TRANSFORMATION", "ambiguous": True}
    assert first["indirect"] == [{"database": "ref", "table": "stores", "column": "store_id",
                                  "kind": "JOIN", "ambiguous": False}]
    assert first["problems"] == ["column 'amount' is ambiguous"]
    assert second["indirect"][0]["database"] == "cat.db"
    assert (skipped["status"], skipped["lineage"], skipped["indirect"], skipped["problems"]) == (
        "skipped", [], [], [])


MERMAID_LINE = re.compile(
    r'^  subgraph (?P<group>g\d+)\["(?P<glabel>[^"]*)"\]$|^    (?P<node>n\d+)\["(?P<label>[^"]*)"\]$'
    r"|^  (?P<tail>n\d+) (?P<arrow>-->|-- \? -->|-\. (?P<kind>[A-Z_]+) \.->) (?P<head>[gn]\d+)$|^  end$"
)


def mermaid_full_edges(text):
    """(arrow, source group and column, output group [and column]) of every edge."""
    lines = text.splitlines()
    assert lines[0] == "flowchart LR"
    names, group, edges = {}, None, set()
    for line in lines[1:]:
        m = MERMAID_LINE.match(line)
        assert m, f"unexpected line {line!r}"
        if m["group"]:
            group = names[m["group"]] = m["glabel"]
        elif m["node"]:
            names[m["node"]] = (group, m["label"])
        elif m["tail"]:
            arrow = m["kind"] or m["arrow"]
            edges.add((arrow, names[m["tail"]], names[m["head"]]))
    return edges


def test_mermaid_draws_ambiguity_and_dashed_indirect_lineage_to_the_output_group():
    assert mermaid_full_edges(written(write_mermaid)) == {
        ("-->", ("sales.orders", "order_date"), ("mart.daily", "day")),
        ("-->", ("sales.orders", "amount"), ("mart.daily", "revenue")),
        ("-- ? -->", ("x", "amount"), ("mart.daily", "revenue")),
        ("JOIN", ("ref.stores", "store_id"), "mart.daily"),
        ("-->", ("cat.db.t", "n"), ("f.sql:2", "n")),
        ("SORT", ("cat.db.t", "k"), "f.sql:2"),
    }


@needs_graphviz
def test_dot_draws_indirect_lineage_dashed_to_the_output_cluster():
    text = written(write_dot)
    rendered = subprocess.run(["dot", "-Tjson"], input=text.encode(), capture_output=True, timeout=60)
    assert rendered.returncode == 0 and rendered.stderr == b"", rendered.stderr
    graph = json.loads(rendered.stdout)
    label = {o["_gvid"]: o.get("label") for o in graph["objects"]}
    styled = {(label[e["tail"]], e.get("style"), e.get("lhead")) for e in graph["edges"]}
    cluster = {o["name"]: o["label"] for o in graph["objects"] if o["name"].startswith("cluster")}
    dashed = {(tail, cluster[lhead]) for tail, style, lhead in styled if style == "dashed"}
    assert dashed == {("store_id", "mart.daily"), ("k", "f.sql:2")}
    assert {tail for tail, style, _ in styled if style == "dotted"} == {"amount"}
    direct = "\n".join(line for line in text.splitlines() if "style=dashed" not in line)
    assert dot_edges(direct.replace("compound=true;", "")) >= {
        (("sales.orders", "order_date"), ("mart.daily", "day"))}


# How sources feed the engine, with a stand-in engine: "W t a,b" writes t with
# columns a and b; "R t" reads all of t (its columns when the schema knows them);
# "BOOM" fails the call it is in.

def fake_lineage(text, options, schema):
    if "BOOM" in text:
        raise RuntimeError("the engine broke")
    found, start = [], 0
    for number, piece in enumerate(text.split(";"), 1):
        line = text.count("\n", 0, start + len(piece) - len(piece.lstrip())) + 1
        start += len(piece) + 1
        verb, table, *columns = piece.split()
        if verb == "D":  # read as two statements
            found.append(statement(number, None, [("d", [source(f"{table}.d")])], line=line))
        if verb == "W":
            outputs = [(c, [source(f"raw.src.{c}")]) for c in columns[0].split(",")]
            found.append(statement(number, table, outputs, kind="create table", line=line))
        else:
            known = {k.lower(): v for k, v in (schema or {}).items()}.get(table.lower(), ["*"])
            found.append(statement(number, None, [(c, [source(f"{table}.{c}")]) for c in known], line=line))
    return found


@pytest.fixture
def fake_engine(monkeypatch):
    calls = []

    def call(text, options, schema):
        calls.append(text)
        return fake_lineage(text, options, schema)

    monkeypatch.setattr(engine_run, "lineage_call", call)
    return calls


def outputs(results):
    return [[(r.index, r.line, r.target, tuple(c.name for c in r.columns), r.status, r.message)
             for r in source_results] for source_results in results]


@pytest.mark.parametrize("jobs", [1, 2])
def test_tables_written_by_earlier_sources_are_known_to_later_ones(fake_engine, jobs):
    texts = ["W stage.a x,y", "R other", "R stage.a", "W stage.a z", "R STAGE.A"]
    results = analyse_sources(texts, EngineOptions(schema={"other": ["o"]}), jobs)
    assert outputs(results) == [
        [(1, 1, "stage.a", ("x", "y"), "ok", None)],
        [(1, 1, None, ("o",), "ok", None)],
        [(1, 1, None, ("x", "y"), "ok", None)],        # analysed again with stage.a known
        [(1, 1, "stage.a", ("z",), "ok", None)],
        [(1, 1, None, ("z",), "ok", None)],            # the latest write counts
    ]
    if jobs == 1:
        # Only sources that name a table written before them are analysed twice.
        assert fake_engine == texts + ["R stage.a", "W stage.a z", "R STAGE.A"]


@pytest.fixture
def cut_small_sources(monkeypatch):
    monkeypatch.setattr(engine_run, "LARGE_SOURCE", 10)
    monkeypatch.setattr(engine_run, "_splits_like_the_command", lambda options: True)


QUERIES = ";\n".join(f"R t{i}" for i in range(20))


@pytest.mark.parametrize("texts, jobs, runs", [
    ([QUERIES, "R a"], 2, [list(range(1, 21)), None]),
    ([QUERIES], 1, [None]),                                # one process: nothing to spread
    (["create table x as select a from b;" + QUERIES], 2, [None]),  # writes: kept together
    (["R a;R b;R c"], 2, [None]),                          # too few statements
])
def test_large_sources_of_queries_are_cut_into_runs_of_statements(cut_small_sources, texts, jobs, runs):
    units = engine_run._units(texts, EngineOptions(), jobs)
    found = {}
    for unit in units:
        found.setdefault(unit.source, []).append(unit.places)
    assert [None if places == [None] else [n for p in places for n, _ in p]
            for places in found.values()] == runs


def test_runs_of_statements_keep_their_numbers_and_lines(cut_small_sources, fake_engine):
    whole = outputs([tuple(fake_lineage(QUERIES, None, None))])
    assert outputs(analyse_sources([QUERIES], EngineOptions(), 2)) == whole
    assert [line for _, line, *_ in whole[0]] == list(range(1, 21))
    # A run the engine reads as more statements than the command did is analysed whole.
    doubled = QUERIES.replace("R t7", "D t7")
    assert outputs(analyse_sources([doubled], EngineOptions(), 2)) == outputs(
        [tuple(fake_lineage(doubled, None, None))])


def test_a_text_the_engine_fails_on_is_analysed_statement_by_statement(fake_engine):
    [results] = analyse_sources(["R t;\nBOOM;\n\n  R u"], EngineOptions(), 1)
    assert outputs([results])[0] == [
        (1, 1, None, ("*",), "ok", None),
        (2, 2, None, (), "failed", "RuntimeError: the engine broke"),
        (3, 4, None, ("*",), "ok", None),
    ]


def test_a_grown_schema_keeps_the_given_tables_and_replaces_written_ones():
    from sql_lineage.schema import normalise_schema

    grown = grow_schema({"db": {"t": {"a": "int"}}, "u": ["c"]}, [("db.t", ("x",)), ("n.w", ("y",))])
    tables = normalise_schema(grown)
    assert (tables["db.t"], tables["u"], tables["n.w"]) == (("x",), ("c",), ("y",))


# The command end to end, with the compiled engine.

needs_engine = pytest.mark.skipif(
    importlib.util.find_spec("sql_lineage._engine") is None,
    reason="the compiled engine is not built (put its build folder on PYTHONPATH)",
)


def lineage_rows(statements):
    return {(s["file"], s["statement"], r["database"], r["table"], r["source_column"],
             r["output_column"], r["transformation"]) for s in statements for r in s["lineage"]}


@needs_engine
def test_examples_with_the_default_engine_agree_in_every_format():
    result = tool("-f", "json", "examples")
    assert result.status == 0, result.err
    statements = json.loads(result.out)
    assert all({"lineage", "indirect", "problems"} <= set(s) for s in statements)
    rows = lineage_rows(statements)
    # What the old analysis could not give: an aggregate's source, by kind.
    assert ("examples/ad_hoc.sql", 1, "sales", "orders", "amount", "spent", "AGGREGATION") in rows
    header, rule, *lines = tool("examples").out.splitlines()
    starts = [m.start() for m in re.finditer(r"-+", rule)]
    cells = [[line[a:b].strip() for a, b in zip(starts, starts[1:] + [None])] for line in lines]
    assert {(c[0], c[2], c[3], c[4], c[5], c[6]) for c in cells} == {
        (f"{f}:{n}", d or "-", t, s, o, k) for f, n, d, t, s, o, k in rows}
    assert len(cells) == len(rows)
    as_csv = list(csv.DictReader(io.StringIO(tool("-f", "csv", "examples").out)))
    assert {(r["file"], int(r["statement"]), r["database"] or None, r["table"], r["source_column"],
             r["output_column"], r["transformation"]) for r in as_csv} == rows
    events = [json.loads(line) for line in tool("-f", "openlineage", "examples").out.splitlines()]
    assert len(events) == sum(s["status"] != "skipped" for s in statements)


SCHEMA = {"sales": {"orders": {"id": "int", "amount": "decimal"}}}


@needs_engine
@pytest.mark.parametrize("name, text", [
    ("schema.json", json.dumps(SCHEMA)),
    ("schema.yaml", "sales:\n  orders:\n    id: int\n    amount: decimal\n"),
    ("schema.yml", "orders: [id, amount]\n"),
])
def test_a_schema_file_lets_a_star_name_its_columns(tmp_path, name, text):
    (tmp_path / name).write_text(text)
    result = tool("-f", "csv", "--schema", tmp_path / name, stdin=b"select * from sales.orders")
    assert result.status == 0, result.err
    assert [(r["source_column"], r["output_column"])
            for r in csv.DictReader(io.StringIO(result.out))] == [("id", "id"), ("amount", "amount")]


@pytest.mark.parametrize("name, text, message", [
    ("missing.json", None, "cannot read the schema file: No such file or directory"),
    ("bad.json", "{'sales': 1}", "not valid JSON: Expecting property name enclosed in double "
                                 "quotes at line 1, column 2"),
    ("bad.yaml", "a: [b\n", "not valid YAML: "),
    ("list.json", "[1, 2]", "a schema maps databases or tables to their columns, but the file holds list"),
    ("empty.yaml", "", "but the file holds nothing"),
    ("shape.json", '{"t": 5}', "schema: t must be a mapping of column names to types"),
])
def test_an_unusable_schema_file_stops_the_run_with_status_2(tmp_path, name, text, message):
    path = tmp_path / name
    if text is not None:
        path.write_text(text)
    result = tool("--schema", path, stdin=b"select a from t")
    assert (result.status, result.out) == (2, "")
    assert result.err.startswith(f"sql-lineage: {path}: ") and message in result.err


@needs_engine
@pytest.mark.parametrize("jobs", ["1", "2"])
def test_a_table_created_in_one_file_gives_its_columns_to_the_next(tmp_path, jobs):
    (tmp_path / "a.sql").write_text("create table stage.s as select o.id, o.amount * 2 as amt "
                                    "from sales.orders o")
    (tmp_path / "b.sql").write_text("select 1 as one;\nselect * from STAGE.S")
    (tmp_path / "c.sql").write_text("select * from stage.other")
    result = tool("-f", "json", "-j", jobs, tmp_path)
    assert result.status == 0, result.err
    lineage = {(s["file"].rsplit("/", 1)[1], s["statement"], s["line"]):
               [(r["table"], r["source_column"], r["output_column"]) for r in s["lineage"]]
               for s in json.loads(result.out)}
    assert lineage[("b.sql", 2, 2)] == [("S", "id", "id"), ("S", "amt", "amt")]
    assert lineage[("c.sql", 1, 1)] == [("other", "*", "*")]


@needs_engine
def test_trace_follows_a_column_through_files(tmp_path):
    (tmp_path / "1.sql").write_text("insert into stage.s select o.amount * o.rate as amt from raw.o o")
    (tmp_path / "2.sql").write_text("\n\ncreate view mart.v as select sum(s.amt) as total from stage.s s")
    up = tool("--trace", "MART.V.TOTAL", tmp_path)
    assert up.status == 0, up.err
    assert up.out == (
        "mart.v.total\n"
        f"  <- stage.s.amt  (AGGREGATION, {tmp_path / '2.sql'}:1)\n"
        f"    <- raw.o.amount  (TRANSFORMATION, {tmp_path / '1.sql'}:1)\n"
        f"    <- raw.o.rate  (TRANSFORMATION, {tmp_path / '1.sql'}:1)\n"
    )
    down = tool("--trace", "raw.o.rate", "--downstream", "-f", "json", tmp_path)
    [match] = json.loads(down.out)["matches"]
    assert [(s["from"], s["to"]) for s in match["steps"]] == [
        ("raw.o.rate", "stage.s.amt"), ("stage.s.amt", "mart.v.total")]
    missing = tool("--trace", "raw.o.nothing", tmp_path)
    assert missing.status == 1
    assert missing.out == "raw.o.nothing: no statement of the run reads or writes this column\n"


@pytest.mark.parametrize("args, message", [
    (["--engine", "spec", "--schema", "s.json"], "--schema needs the full engine"),
    (["--engine", "spec", "--dialect", "mysql", "--parser", "moz"],
     "--parser, --dialect need the full engine"),
    (["--downstream"], "--downstream goes with --trace"),
    (["--trace", "t.c", "-f", "csv"], "--trace prints text, or JSON with -f json, not -f csv"),
    (["--parser", "yacc"], "invalid choice: 'yacc'"),
    (["--engine", "best"], "invalid choice: 'best'"),
])
def test_options_that_do_not_go_together_exit_with_status_2(args, message):
    result = tool(*args)
    assert (result.status, result.out) == (2, "")
    assert message in result.err


@pytest.mark.parametrize("records, tables", [
    ([statement(1, "a.t", [("x", [])], kind="create table")], {"a.t": ("a.t", ("x",))}),
    ([statement(1, "V", [("x", [])], kind="create view")], {"v": ("V", ("x",))}),
    # An INSERT names the columns of a table only when nothing else did.
    ([statement(1, "n.t", [("x", [])], kind="insert")], {"n.t": ("n.t", ("x",))}),
    ([statement(1, "a.t", [("x", [])], kind="create table"),
      statement(2, "a.t", [("y", [])], kind="insert")], {"a.t": ("a.t", ("x",))}),
    ([statement(1, "known.t", [("y", [])], kind="insert")], {}),
    ([statement(1, "db.only", [("y", [])], kind="insert")], {}),   # known by its own name
    # A later definition replaces an earlier one; one with unknown columns removes it.
    ([statement(1, "a.t", [("x", [])], kind="create table"),
      statement(2, "A.T", [("z", [])], kind="create table")], {"a.t": ("A.T", ("z",))}),
    ([statement(1, "a.t", [("x", [])], kind="create table"),
      statement(2, "a.t", [("*", [])], kind="create table")], {}),
    ([statement(1, "a.t", [("x", [])], kind="update"),
      statement(2, "b.t", [("x", [])], kind="create table", status="failed")], {}),
])
def test_which_statements_define_a_table_for_later_sources(records, tables):
    found = {}
    engine_run.record_written(records, found, {"known.t", "only"})
    assert found == tables


REWRITE = [result(statement(1, "db.t", [("a", [source("db.t.a")])], [indirect("db.t.b", "FILTER")]))]


@needs_graphviz
def test_dot_points_indirect_lineage_inside_a_group_that_reads_itself_without_warnings():
    assert dot_edges(written(write_dot, REWRITE)) == {
        (("db.t", "a"), ("db.t", "a")), (("db.t", "b"), ("db.t", "a"))}


def test_mermaid_points_indirect_lineage_inside_a_group_that_reads_itself_at_a_column():
    assert mermaid_full_edges(written(write_mermaid, REWRITE)) == {
        ("-->", ("db.t", "a"), ("db.t", "a")), ("FILTER", ("db.t", "b"), ("db.t", "a"))}


@needs_engine
def test_a_large_file_of_queries_gives_the_same_output_with_workers(tmp_path):
    big = tmp_path / "log.sql"
    lines = []
    for i in range(400):
        lines.append(f"/* query {i} */\nselect o.c{i % 7} as x, sum(o.v) as total  -- note {i}\n"
                     f"from db.t{i % 5} o\n\ngroup by o.c{i % 7}{';' if i % 50 else ' ;'}")
    big.write_text("\n".join(lines) + "\n-- trailing comment")
    assert big.stat().st_size >= engine_run.LARGE_SOURCE
    serial = tool("-f", "json", "-j", "1", big)
    parallel = tool("-f", "json", "-j", "2", big)
    assert serial.status == 0, serial.err
    assert (parallel.out, parallel.err) == (serial.out, serial.err)
    statements = json.loads(serial.out)
    # Five lines a query, the first a comment.
    assert [(s["statement"], s["line"]) for s in statements] == [(i + 1, 5 * i + 2) for i in range(400)]


@pytest.mark.parametrize("options, schema, keywords", [
    (EngineOptions(), None, {}),
    (EngineOptions(dialect="mysql", parser="native"), {"t": ["a"]},
     {"dialect": "mysql", "parser": "native", "schema": {"t": ["a"]}}),
])
def test_the_engine_gets_the_options_given_and_its_own_defaults_otherwise(
        monkeypatch, options, schema, keywords):
    seen = []
    engine = types.ModuleType("sql_lineage.engine")
    engine.lineage = lambda sql, **given: seen.append((sql, given)) or []
    monkeypatch.setitem(sys.modules, "sql_lineage.engine", engine)
    assert engine_run.lineage_call("select 1", options, schema) == []
    assert seen == [("select 1", keywords)]

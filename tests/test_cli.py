"""The sql-lineage command, run as a separate process the way people run it.

These tests check what `--engine spec` (VexloParseMain()._parse_sql) gives, so
`tool` passes it unless told otherwise; tests/test_cli_full_engine.py covers the
default engine.
"""

import csv
import io
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from support.command import dot_edges, needs_graphviz  # puts python/ first on the path
from support.command import tool as run_command
from support.warehouse_corpus import CASES
from sql_lineage import analysis  # noqa: E402
from sql_lineage.cli import Source, run  # noqa: E402
from sql_lineage.formats import write_dot, write_mermaid  # noqa: E402
from sql_lineage.progress import Progress  # noqa: E402
from sql_lineage.report import Report, StatementResult  # noqa: E402


def tool(*args, engine="spec", **kwargs):
    return run_command(*args, engine=engine, **kwargs)


def json_statements(*args, **kwargs):
    result = tool("--format", "json", *args, **kwargs)
    return result, json.loads(result.out)


def rows_of(statements):
    """(file, statement, target, database, table, source column, output column) rows."""
    return [
        (s["file"], s["statement"], s["target"], r["database"], r["table"], r["source_column"],
         r["output_column"])
        for s in statements for r in s["lineage"]
    ]


# What the bundled examples hold, worked out from their SQL by hand:
# (file, statement) -> (kind, target, lineage rows or the skipped statement's keyword)
EXAMPLES = {
    ("examples/ad_hoc.sql", 1): ("select", None, {("sales", "orders", "customer_id", "customer_id")}),
    ("examples/ad_hoc.sql", 2): ("select", None, {("staging", "orders_raw", "*", "*")}),
    ("examples/ad_hoc.sql", 3): ("insert", "finance.order_snapshot", {
        ("sales", "orders", "order_id", "order_id"), ("sales", "orders", "amount", "amount")}),
    ("examples/ad_hoc.sql", 4): ("skipped", None, "DELETE"),
    ("examples/ad_hoc.sql", 5): ("create view", "bi.v_orders", {
        ("sales", "orders", "order_id", "order_id"), ("sales", "orders", "customer_id", "customer_id"),
        ("crm", "customers", "region", "region")}),
    ("examples/channel_sales.sql", 1): ("select", None, {
        ("web", "orders", "order_id", "order_id"), ("web", "orders", "customer_id", "customer_id"),
        ("web", "orders", "amount", "net_amount"), ("web", "orders", "placed_at", "sold_at"),
        ("pos", "receipts", "receipt_no", "order_id"), ("pos", "receipts", "loyalty_id", "customer_id"),
        ("pos", "receipts", "total", "net_amount"), ("pos", "receipts", "rung_up_at", "sold_at"),
        ("marketplace", "orders", "order_ref", "order_ref"),
        ("marketplace", "orders", "buyer_id", "buyer_id"),
        ("marketplace", "orders", "payout", "payout"), ("marketplace", "orders", "created", "created")}),
    ("examples/customer_360.sql", 1): ("create table", "mart.customer_360", {
        ("crm", "customers", c, c)
        for c in ("customer_id", "first_name", "last_name", "email", "signup_date")
    } | {("marketing", "segments", "name", "segment"),
         ("analytics", "customer_value", "lifetime_value", "lifetime_value")}),
    ("examples/daily_revenue.sql", 1): ("skipped", None, "SET"),
    ("examples/daily_revenue.sql", 2): ("insert", "mart.daily_revenue", {
        ("sales", "orders", "order_date", "sales_date"), ("ref", "stores", "store_name", "store_name"),
        ("ref", "stores", "region", "region"), ("sales", "orders", "channel", "channel"),
        ("sales", "orders", "gross_amount", "revenue")}),
    ("examples/daily_revenue.sql", 3): ("skipped", None, "ALTER"),
    ("examples/report.sql", 1): ("select", None, {
        ("crm", "customers", "cust_id", "customer"), ("crm", "customers", "region", "region"),
        ("sales", "orders", "amount", "revenue")}),
}


def test_examples_give_their_hand_worked_lineage():
    result, statements = json_statements("examples")
    assert result.status == 0, result.err
    found = {}
    for s in statements:
        lineage = {(r["database"], r["table"], r["source_column"], r["output_column"])
                   for r in s["lineage"]}
        if s["status"] == "skipped":
            lineage = s["message"].split()[0]
        found[(s["file"], s["statement"])] = (s["kind"], s["target"], lineage)
    assert found == EXAMPLES
    for (file, number), (kind, _, what) in EXAMPLES.items():
        if kind == "skipped":
            assert re.search(rf"^{re.escape(file)}:\d+: statement {number}: skipped: {what} ",
                             result.err, re.M), result.err
    assert "11 statements in 5 sources: 8 analysed, 3 skipped, 0 failed" in result.err


def test_every_format_carries_the_same_rows():
    _, statements = json_statements("examples")
    expected = rows_of(statements)
    assert len(expected) == sum(len(v[2]) for v in EXAMPLES.values() if v[0] != "skipped")

    table = tool("examples")
    assert table.status == 0
    header, rule, *lines = table.out.splitlines()
    # Columns start where the rule's dashes start, on every line.
    starts = [m.start() for m in re.finditer(r"-+", rule)]
    assert len(starts) == 6
    cells = lambda line: [line[a:b].strip() for a, b in zip(starts, starts[1:] + [None])]  # noqa: E731
    assert cells(header) == ["statement", "target", "database", "table", "source column",
                             "output column"]
    dash = lambda v: "-" if v is None else v  # noqa: E731
    assert [cells(line) for line in lines] == [
        [f"{f}:{n}", dash(t), dash(d), tb, s, o] for f, n, t, d, tb, s, o in expected
    ]

    as_csv = tool("--format", "csv", "examples")
    assert as_csv.status == 0
    records = list(csv.DictReader(io.StringIO(as_csv.out)))
    assert [
        (r["file"], int(r["statement"]), r["target"] or None, r["database"] or None, r["table"],
         r["source_column"], r["output_column"])
        for r in records
    ] == expected


def expected_edges(statements):
    """Graph edges as ((source group, column), (output group, column)) labels."""
    edges = set()
    for s in statements:
        output_group = s["target"] or f"{s['file']}:{s['statement']}"
        for r in s["lineage"]:
            source_group = r["table"] if r["database"] is None else f"{r['database']}.{r['table']}"
            edges.add(((source_group, r["source_column"]), (output_group, r["output_column"])))
    return edges


@needs_graphviz
def test_dot_output_is_valid_graphviz_with_one_edge_per_lineage_row():
    _, statements = json_statements("examples")
    result = tool("--format", "dot", "examples")
    assert result.status == 0
    assert dot_edges(result.out) == expected_edges(statements)


@needs_graphviz
def test_a_table_written_by_one_statement_and_read_by_another_is_one_group(tmp_path):
    (tmp_path / "chain.sql").write_text(
        "insert into mart.s select o.id as order_id from raw.o o;\n"
        "select s.order_id as id from mart.s s;\n"
    )
    result = tool("--format", "dot", tmp_path / "chain.sql")
    assert dot_edges(result.out) == {
        (("raw.o", "id"), ("mart.s", "order_id")),
        (("mart.s", "order_id"), (f"{tmp_path / 'chain.sql'}:2", "id")),
    }


MERMAID_SUBGRAPH = re.compile(r'^  subgraph (g\d+)\["([^"]*)"\]$')
MERMAID_NODE = re.compile(r'^    (n\d+)\["([^"]*)"\]$')
MERMAID_EDGE = re.compile(r"^  (n\d+) --> (n\d+)$")


def mermaid_edges(text):
    """Checks the flowchart's structure line by line and reads its edges back."""
    lines = text.splitlines()
    assert lines[0] == "flowchart LR"
    unescape = lambda s: s.replace("#quot;", '"').replace("#35;", "#")  # noqa: E731
    nodes, groups, edges, group = {}, set(), [], None
    for line in lines[1:]:
        if m := MERMAID_SUBGRAPH.match(line):
            assert group is None and m[1] not in groups, "subgraphs are flat and unique"
            group = unescape(m[2])
            groups.add(m[1])
        elif line == "  end":
            assert group is not None
            group = None
        elif m := MERMAID_NODE.match(line):
            assert group is not None and m[1] not in nodes
            nodes[m[1]] = (group, unescape(m[2]))
        elif m := MERMAID_EDGE.match(line):
            assert group is None
            edges.append((nodes[m[1]], nodes[m[2]]))  # both ends defined before
        else:
            pytest.fail(f"unexpected line {line!r}")
    assert group is None, "every subgraph is closed"
    assert len(edges) == len(set(edges))
    return set(edges)


def test_mermaid_output_is_a_well_formed_flowchart_with_one_edge_per_lineage_row():
    _, statements = json_statements("examples")
    result = tool("--format", "mermaid", "examples")
    assert result.status == 0
    assert mermaid_edges(result.out) == expected_edges(statements)


AWKWARD = StatementResult(
    source='dir "x"/q#1.sql', number=1, line=1, kind="insert", target='db.t"x',
    status="ok", rows=(("d#b", 'ta"ble', "a\\b", 'say "hi" #1;'),),
)


def test_mermaid_labels_escape_quotes_and_entities():
    out = io.StringIO()
    write_mermaid(Report([AWKWARD], "spec"), out)
    assert mermaid_edges(out.getvalue()) == {
        (('d#b.ta"ble', "a\\b"), ('db.t"x', 'say "hi" #1;'))
    }


@needs_graphviz
def test_dot_labels_escape_quotes_and_backslashes():
    out = io.StringIO()
    write_dot(Report([AWKWARD], "spec"), out)
    assert dot_edges(out.getvalue()) == {
        (('d#b.ta"ble', "a\\b"), ('db.t"x', 'say "hi" #1;'))
    }


@pytest.mark.parametrize("fmt", ["table", "csv", "json", "dot", "mermaid"])
def test_bad_statement_in_the_middle_is_reported_and_the_rest_analysed(tmp_path, fmt):
    sql = tmp_path / "mixed.sql"
    sql.write_text(
        "select a.x from db.t a;\n"
        "\n"
        "select from where;\n"                        # the parser rejects it
        "select y from db.u, db.v;\n"                 # the analyser cannot place y
        "select b.z as zz from db.w b\n"
    )
    result = tool("--format", fmt, sql)
    assert result.status == 1
    err = result.err.splitlines()
    assert err[0] == f'{sql}:3: statement 2: error: syntax error near "from where"'
    assert re.fullmatch(
        rf"{re.escape(str(sql))}:4: statement 3: error: cannot resolve a column.*", err[1])
    assert err[2].endswith("4 statements in 1 source: 2 analysed, 0 skipped, 2 failed")
    for good in (r"\bx\b", r"\bzz\b"):
        assert re.search(good, result.out)
    if fmt == "json":
        statuses = [(s["statement"], s["status"]) for s in json.loads(result.out)]
        assert statuses == [(1, "ok"), (2, "failed"), (3, "failed"), (4, "ok")]


def test_analyser_and_parser_chatter_stays_out_of_the_output():
    # An unresolvable column makes the analyser print; odd names make the parser warn.
    sql = "select y from db.u, db.v;\nselect `p\\q` from t;\nselect 'x\\' as \"a\nb\" from t"
    result = tool("--format", "json", stdin=sql.encode())
    statements = json.loads(result.out)
    assert [s["status"] for s in statements] == ["failed", "ok", "failed"]
    assert statements[1]["lineage"] == [
        {"database": None, "table": "t", "source_column": "p\\q", "output_column": "p\\q"}]
    assert "Warning" not in result.err and "Traceback" not in result.err


def test_unreadable_and_missing_files_are_reported_and_the_others_analysed(tmp_path):
    good = tmp_path / "good.sql"
    good.write_text("select a from db.t")
    missing = tmp_path / "missing.sql"
    dangling = tmp_path / "dangling.sql"
    dangling.symlink_to(tmp_path / "nowhere.sql")
    result = tool("--format", "csv", missing, good, dangling)
    assert result.status == 1
    assert result.err.splitlines()[:2] == [
        f"{missing}: error: cannot read the file: No such file or directory",
        f"{dangling}: error: cannot read the file: No such file or directory",
    ]
    assert result.out.splitlines()[1:] == [f"{good},1,1,,db,t,a,a"]


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads a file whatever its mode")
def test_a_file_without_read_permission_is_reported(tmp_path):
    locked = tmp_path / "locked.sql"
    locked.write_text("select a from t")
    locked.chmod(0)
    result = tool(locked)
    assert result.status == 1
    assert f"{locked}: error: cannot read the file: Permission denied" in result.err


def test_non_utf8_text_is_reported_with_its_place_and_can_be_named(tmp_path):
    latin = tmp_path / "latin.sql"
    latin.write_bytes(b"select a from t;\nselect b from u where n = 'caf\xe9'")
    good = tmp_path / "good.sql"
    good.write_text("select c from v")
    result = tool("--format", "csv", latin, good)
    assert result.status == 1
    assert (f"{latin}: error: not valid utf-8 text: byte 0xe9 at line 2, column 31 "
            "(name the file's encoding with --encoding)") in result.err
    assert result.out.splitlines()[1:] == [f"{good},1,1,,,v,c,c"]

    named = tool("--format", "csv", "--encoding", "latin-1", latin)
    assert named.status == 0, named.err
    assert named.out.splitlines()[1:] == [f"{latin},1,1,,,t,a,a", f"{latin},2,2,,,u,b,b"]


def test_a_utf8_byte_order_mark_is_not_part_of_the_sql(tmp_path):
    bom = tmp_path / "bom.sql"
    bom.write_bytes("\ufeffselect a from t".encode())
    result = tool("--format", "csv", bom)
    assert result.status == 0, result.err
    assert result.out.splitlines()[1:] == [f"{bom},1,1,,,t,a,a"]


@pytest.mark.parametrize(
    "stdin, fmt, out",
    [
        (b"", "table", "statement  target  database  table  source column  output column\n"
                       "---------  ------  --------  -----  -------------  -------------\n"),
        (b"  \n-- nothing but a comment;\n;;", "json", "[]\n"),
        (b"", "csv", "file,statement,line,target,database,table,source_column,output_column\n"),
        (b"", "dot", None),
        (b"", "mermaid", "flowchart LR\n"),
    ],
)
def test_empty_input_is_no_error(stdin, fmt, out):
    result = tool("--format", fmt, stdin=stdin)
    assert result.status == 0
    assert result.err == "sql-lineage: no SQL statements found\n"
    if out is not None:
        assert result.out == out
    else:
        assert "->" not in result.out and result.out.startswith("digraph")


def test_folders_are_searched_for_sql_files_in_name_order(tmp_path):
    (tmp_path / "b").mkdir()
    (tmp_path / "b" / "two.SQL").write_text("select b from t2")
    (tmp_path / "a.sql").write_text("select a from t1")
    (tmp_path / "notes.txt").write_text("select n from nope")
    (tmp_path / ".hidden").mkdir()
    (tmp_path / ".hidden" / "x.sql").write_text("select h from nope")
    (tmp_path / "empty").mkdir()
    result = tool("--format", "csv", tmp_path, tmp_path / "empty")
    assert result.status == 0
    assert [line.split(",")[0] for line in result.out.splitlines()[1:]] == [
        str(tmp_path / "a.sql"), str(tmp_path / "b" / "two.SQL")]
    assert f"{tmp_path / 'empty'}: note: no .sql files in this folder" in result.err


@pytest.mark.parametrize(
    "args, message",
    [
        (["--format", "xml"], "invalid choice: 'xml'"),
        (["--jobs", "0"], "must be at least 1"),
        (["--jobs", "many"], "not a whole number"),
        (["--encoding", "klingon"], "unknown encoding"),
    ],
)
def test_bad_arguments_exit_with_status_2(args, message):
    result = tool(*args)
    assert result.status == 2
    assert message in result.err and result.out == ""


def test_skipped_statements_do_not_fail_the_run():
    result = tool(stdin=b"update t set a = 1; select a from t; drop table t")
    assert result.status == 0
    assert "<stdin>:1: statement 1: skipped: UPDATE statement" in result.err
    assert "<stdin>:1: statement 3: skipped: DROP statement" in result.err


def test_a_query_without_column_lineage_gets_a_note_unless_quiet():
    loud = tool(stdin=b"select count(*) as n from t")
    assert loud.status == 0
    assert "<stdin>:1: statement 1: note: no column lineage" in loud.err
    quiet = tool("--quiet", stdin=b"select count(*) as n from t; update t set a = 1")
    assert quiet.err == "<stdin>:1: statement 2: skipped: UPDATE statement: only SELECT, " \
        "INSERT ... SELECT and CREATE TABLE/VIEW ... AS SELECT are analysed\n"


def corpus_folder(tmp_path, repeats):
    """The hand-worked corpus as files, each query repeated with different comments."""
    folder = tmp_path / f"corpus{repeats}"
    folder.mkdir()
    for i, (sql, _) in enumerate(CASES):
        copies = [f"-- copy {k}\n{sql}\n/* end {k} */" for k in range(repeats)]
        (folder / f"case{i:03}.sql").write_text(";\n".join(copies))
    return folder


def test_worker_processes_and_reuse_change_no_result(tmp_path):
    once = corpus_folder(tmp_path, 1)
    thrice = corpus_folder(tmp_path, 3)
    serial, serial_json = json_statements("--jobs", "1", once)
    assert serial.status == 0, serial.err
    # The tool reports what the module finds for every corpus query.
    assert [{(r["database"], r["table"], r["source_column"], r["output_column"])
             for r in s["lineage"]} for s in serial_json] == [expected for _, expected in CASES]

    parallel = tool("--format", "json", "--jobs", "2", once)
    assert (parallel.status, parallel.out, parallel.err) == (serial.status, serial.out, serial.err)

    repeated, repeated_json = json_statements("--jobs", "2", thrice)
    assert repeated.status == 0
    assert [(s["file"], s["lineage"]) for s in repeated_json] == [
        (s["file"].replace("corpus1", "corpus3"), s["lineage"])
        for s in serial_json for _ in range(3)
    ]
    assert f"({2 * len(CASES)} repeated queries reused)" in repeated.err


def test_parallel_run_matches_serial_run_with_failures_and_skips(tmp_path):
    lines = []
    for i in range(40):
        lines += [f"select t.c{i} as o{i} from db.t{i % 7} t", "select from", f"update t set a = {i}",
                  f"insert into mart.m{i} select x{i} from u, v"]
    (tmp_path / "many.sql").write_text(";\n".join(lines))
    serial = tool("--format", "json", "--jobs", "1", tmp_path)
    parallel = tool("--format", "json", "--jobs", "3", tmp_path)
    assert serial.status == parallel.status == 1
    assert (parallel.out, parallel.err) == (serial.out, serial.err)
    assert serial.err.count(": error: ") == 80 and serial.err.count(": skipped: ") == 40


def test_each_distinct_cleaned_query_is_analysed_once(monkeypatch):
    seen = []
    original = analysis.analyse
    monkeypatch.setattr(analysis, "analyse", lambda text: seen.append(text) or original(text))
    text = ("select a from t;\n"
            "select a from t -- the same once comments go\n;"
            "/*+ hint */ select a from t;\n"
            "insert into x select a from t;\n"   # the same query, written elsewhere
            "select b from t")
    outcome = run([Source("s.sql", text)], jobs=1, progress_stream=None)
    assert seen == ["select a from t", "select b from t"]
    assert [(r.number, r.target, r.rows) for r in outcome.results] == [
        (1, None, ((None, "t", "a", "a"),)), (2, None, ((None, "t", "a", "a"),)),
        (3, None, ((None, "t", "a", "a"),)), (4, "x", ((None, "t", "a", "a"),)),
        (5, None, ((None, "t", "b", "b"),)),
    ]


def crash_the_worker(text):
    os._exit(3)


def test_a_worker_that_dies_fails_its_statements_instead_of_the_run(monkeypatch):
    monkeypatch.setattr(analysis, "analyse", crash_the_worker)
    done = []
    results = analysis.analyse_all(["select a from t", "select b from t"], 2, lambda: done.append(1))
    assert results == [analysis.Analysis(error="the analysis process ended abruptly")] * 2
    assert len(done) == 2


def test_no_progress_line_when_standard_error_is_not_a_terminal(tmp_path):
    for i in range(30):
        (tmp_path / f"q{i}.sql").write_text(f"select c{i} from t")
    result = tool("--jobs", "2", tmp_path)
    assert "\r" not in result.err and "\x1b" not in result.err


class FakeTerminal(io.StringIO):
    def isatty(self):
        return True


class Clock:
    def __init__(self):
        self.now = 0.0

    def __call__(self):
        return self.now


@pytest.mark.parametrize(
    "stream, enabled, steps, expected",
    [
        # quick work never shows
        (FakeTerminal, True, [(0.1, 3)], ""),
        # after the delay: redrawn at most once per interval, the last count always shown
        (FakeTerminal, True, [(0.6, 1), (0.65, 1), (0.8, 1), (0.85, 1)],
         "\rstatements: 1/4 (25%)\x1b[K\rstatements: 3/4 (75%)\x1b[K"
         "\rstatements: 4/4 (100%)\x1b[K\r\x1b[K"),
        (io.StringIO, True, [(1.0, 4)], ""),       # not a terminal
        (FakeTerminal, False, [(1.0, 4)], ""),     # switched off
    ],
)
def test_progress_line(stream, enabled, steps, expected):
    out, clock = stream(), Clock()
    progress = Progress(4, out, enabled=enabled, clock=clock, delay=0.5, interval=0.1)
    for now, count in steps:
        clock.now = now
        for _ in range(count):
            progress.update()
    progress.close()
    assert out.getvalue() == expected


def test_installed_console_script_runs_the_tool():
    script = Path(sys.executable).parent / "sql-lineage"
    if not script.exists():
        pytest.skip("the package is not installed in this environment (make install)")
    completed = subprocess.run([script, "--engine", "spec", "--format", "csv", "-"],
                               input=b"select a from db.t",
                               capture_output=True, timeout=120)
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.decode().splitlines()[1] == "<stdin>,1,1,,db,t,a,a"

"""Query logs: readers, statement shapes, the tables written, and the runs on
Dask (a local cluster, and a scheduler with two workers started here)."""

from __future__ import annotations

import csv
import json
import os
import socket
import sqlite3
import subprocess
import sys
import time
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
duckdb = pytest.importorskip("duckdb")
pytest.importorskip("distributed")

from sql_lineage import cli  # noqa: E402
from sql_lineage.logs.database import WHAT_FEEDS, WHAT_IT_FEEDS  # noqa: E402
from sql_lineage.logs.readers import (  # noqa: E402
    LogError, open_log, plan_partitions, read_partition,
)
from sql_lineage.logs import shapes as shapes_module  # noqa: E402
from sql_lineage.logs.shapes import shape_of  # noqa: E402
from support.processes import stop_all  # noqa: E402

EXAMPLE_LOG = Path(__file__).resolve().parent.parent / "examples" / "query_log.csv"


def _full_engine_builds() -> bool:
    try:
        import sql_lineage.engine  # noqa: F401
    except ImportError:
        return False
    return True


# The full engine when this build has it, else the classic driver: the log
# machinery is the same over both.
ENGINE = [] if _full_engine_builds() else ["--engine", "spec"]

# Rows of a small log: (query cell, user). Row 2's query spans two lines.
ROWS = [
    ("select o.order_id, o.amount from sales.orders o where o.dt = '2024-06-30'", "ann"),
    ("select o.order_id, o.amount\nfrom sales.orders o where o.dt = '2024-07-01'", "bob"),
    ("", "cy"),
    ("   ", "cy"),
    ("select c.email from crm.customers c where c.id in (1, 2, 3)", "dee"),
]
# Where each row starts, by format: CSV counts the header and the two-line cell.
FIRST_LINES = {"csv": [2, 3, 5, 6, 7], "jsonl": [1, 2, 3, 4, 5], "parquet": [1, 2, 3, 4, 5]}


def write_log(path: Path, fmt: str, rows=ROWS) -> Path:
    records = [{"query_id": i, "user_name": user, "query_text": q}
               for i, (q, user) in enumerate(rows, 1)]
    if fmt == "csv":
        with open(path, "w", newline="", encoding="utf-8") as out:
            writer = csv.DictWriter(out, ["query_id", "user_name", "query_text"])
            writer.writeheader()
            writer.writerows(records)
    elif fmt == "jsonl":
        path.write_text("".join(json.dumps(r) + "\n" for r in records), encoding="utf-8")
    else:
        pq.write_table(pa.Table.from_pylist(records), path, row_group_size=2)
    return path


def read_all(path: Path, partition_size: int, query_column=None, keep=("query_id", "user_name")):
    fmt = path.suffix.lstrip(".")
    log = open_log(str(path), fmt, query_column, keep, "utf-8")
    rows = []
    for part in plan_partitions([log], partition_size):
        rows.extend(read_partition(part, "utf-8"))
    return rows


def run(*argv: str) -> int:
    return cli.main([*ENGINE, "--no-progress", *argv])


# Readers.

@pytest.mark.parametrize("fmt", ["csv", "jsonl", "parquet"])
@pytest.mark.parametrize("partition_size", [1, 40, 1 << 20])
def test_every_row_read_once_with_its_place_whatever_the_partitions(tmp_path, fmt, partition_size):
    path = write_log(tmp_path / f"log.{fmt}", fmt)
    rows = read_all(path, partition_size)
    assert [r.row for r in rows] == FIRST_LINES[fmt]
    assert [r.query for r in rows] == [ROWS[0][0], ROWS[1][0], None, None, ROWS[4][0]]
    assert [r.problem for r in rows] == [None, None, "empty query", "empty query", None]
    kept = [(str(r.kept[0]), r.kept[1]) for r in rows]
    assert kept == [(str(i), user) for i, (_, user) in enumerate(ROWS, 1)]


@pytest.mark.parametrize("header, wanted, chosen", [
    (["id", "SQL", "Query_Text"], None, "Query_Text"),   # the first default name, any case
    (["id", "statement", "sql"], None, "statement"),
    (["id", "text", "sql"], "text", "text"),
])
def test_query_column_choice(tmp_path, header, wanted, chosen):
    path = tmp_path / "log.csv"
    path.write_text(",".join(header) + "\n1,a,b\n", encoding="utf-8")
    assert open_log(str(path), "csv", wanted, (), "utf-8").query_column == chosen


@pytest.mark.parametrize("name, content, message", [
    ("nocol.csv", b"id,user\n1,a\n", "nocol.csv: no query column (any of query_text"),
    ("bad.parquet", b"PAR1 this is not parquet", "bad.parquet: not a readable Parquet file"),
    ("quote.csv", b'query\n"select 1\n', "quote.csv: line 2: malformed CSV"),
    ("junk.csv", b'query\n"select 1" x\n', "junk.csv: line 2: malformed CSV"),
])
def test_malformed_logs_are_errors_naming_the_file(tmp_path, name, content, message):
    path = tmp_path / name
    path.write_bytes(content)
    with pytest.raises(LogError, match=message.replace("(", r"\(")):
        read_all(path, 1 << 20, keep=())


@pytest.mark.parametrize("fmt, content, problems", [
    ("csv", b'query,user\n"select a\xff from t",u\nselect b from t,u,extra\n',
     ["query is not valid utf-8 text (character 9)", "3 fields where the header has 2"]),
    ("jsonl", b'{"query": 5}\nnot json\n[1]\n{"query": null}\n{"user": "u"}\n',
     ["query is not text (int)", "not a JSON record", "not a JSON object", "empty query",
      "no 'query' field"]),
])
def test_bad_cells_are_problems_with_their_row(tmp_path, fmt, content, problems):
    path = tmp_path / f"log.{fmt}"
    path.write_bytes(content)
    rows = read_all(path, 1 << 20, keep=())
    assert all(r.query is None for r in rows)
    assert [r.problem.split(":")[0] if "JSON record" in r.problem else r.problem
            for r in rows] == problems
    assert [r.row for r in rows] == ([2, 3] if fmt == "csv" else [1, 2, 3, 4, 5])


def test_parquet_binary_query_that_is_not_text(tmp_path):
    path = tmp_path / "log.parquet"
    pq.write_table(pa.table({"query": pa.array([b"select a from t", b"\xff\xfe"])}), path)
    rows = read_all(path, 1 << 20, keep=())
    assert [(r.query, r.problem) for r in rows] == [
        ("select a from t", None), (None, "query is not valid utf-8 text (byte 1)")]


# Shapes.

@pytest.mark.parametrize("a, b, same", [
    ("select a from t where x = 1", "select a from t where x = 22", True),
    ("select a from t where d = '2024-01-01'", "SELECT a from t where d = 'x'", False),
    ("select a from t where d = 'a''b'", "select  a\n from t -- note\n where d = 'c'", True),
    ("select a from t where x in (1, 2, 3)", "select a from t where x in (4)", True),
    ("select a from t where x in ('a', 'b')", "select a from t where x in (-1, 2)", True),
    ("select a from t where x in (b, 1)", "select a from t where x in (c, 1)", False),
    ("select a from t1", "select a from t2", False),
    ("select a from t", 'select "a" from t', False),
    ("select a, b from t group by 1", "select a, b from t group by 2", False),
    ("select a from t order by 1 limit 5", "select a from t order by 1 limit 50", True),
    ("select a /* x */ from t", "select /*+ hint */ a from t", True),
    ("select a from t where s = $$x$$", "select a from t where s = $q$y$q$", True),
])
def test_shapes_ignore_literals_and_keep_identifiers(a, b, same):
    assert (shape_of(a) == shape_of(b)) is same


def test_in_list_shape():
    assert shape_of("select a from t where x in (1, 2, 3) and y = 'z'") == (
        "select a from t where x in ( ? ) and y = ?")


# The compiled shapes must be the Python ones, character for character: texts
# that read the same way in both but hold every construct's edge.
SHAPE_TEXTS = [
    "select a from t where x = 1.5e10 and y = 1.5x and z = .5 and w = 1..2 and v = 3e+ and u = 12abc",
    "select 'it''s', e'a\\'b', N'x', U&'d', r'\\', X'ff', 'open ''pair'' never closed",
    "select \"a\"\"b\", `c``d`, [e f], [g\nh], $$ a $ b $$, $t$ x $$ y $t$, $1, $x, $ $",
    "select a -- c\n/* open comment, /* c */ b/**/c from t group by 1, (2) order by a, 2 desc limit 1",
    "select a from t group by rollup(1, 2) having count(*) > 1 union select b from u order by 1",
    "select a\x1c\x1fb\x0bc from t where x in (-1, +2, 3) and y in (a, 1) and z not in ('q')",
    "'unclosed \\' tail", "x'' ''", "\\", "$tag$ never closed", "in (?)", "",
    # Unclosed quotes that hold a doubled one end at its first half.
    "'''", "'a''b", '"a""b', "`a``", "e'a\\''", "'a\\", "$q$ $ $q",
]


@pytest.mark.skipif(shapes_module._compiled_shape is None, reason="the compiled engine is not built")
@pytest.mark.parametrize("backslash", [False, True])
def test_compiled_shapes_are_the_python_ones(backslash):
    from support.warehouse_corpus import CASES

    peer = json.loads((Path(__file__).resolve().parents[2] / "shared" / "peer-cases" / "peer_cases.json").read_text())
    logged = [row["query_text"] for row in csv.DictReader(EXAMPLE_LOG.open(newline=""))]
    texts = SHAPE_TEXTS + [sql for sql, _ in CASES] + logged + [
        c.get("original_sql") or c["sql"] for key in ("cases", "out_of_scope_cases") for c in peer[key]]
    for text in texts:
        compiled = shapes_module._compiled_shape(text, backslash)
        if compiled is not None:
            assert compiled == shapes_module._shape_in_python(text, backslash), text


@pytest.mark.skipif(shapes_module._compiled_shape is None, reason="the compiled engine is not built")
@settings(max_examples=400, deadline=None)
@given(st.text(alphabet="'\"`[]$\\-/*.eE+09 \n\x1c(),;INin_&Ux?ab", max_size=40), st.booleans())
def test_compiled_shapes_agree_on_any_ascii_text(text, backslash):
    assert shapes_module._compiled_shape(text, backslash) == shapes_module._shape_in_python(text, backslash)
    assert shapes_module._compiled_shape(text + "é", backslash) is None  # beyond ASCII: Python's


# The tables written.

@pytest.fixture(scope="module")
def example_outputs(tmp_path_factory):
    """The bundled log written once as Parquet, SQLite and DuckDB."""
    folder = tmp_path_factory.mktemp("outputs")
    keep = "query_id,user_name,start_time,duration_ms"
    for fmt, name in (("parquet", "data"), ("sqlite", "lineage.sqlite"),
                      ("duckdb", "lineage.duckdb")):
        assert run("--log", str(EXAMPLE_LOG), "--keep", keep, "-f", fmt, "-o",
                   str(folder / name), "-j", "1") == 1  # the log holds failing rows
    return folder


def test_parquet_tables_are_typed(example_outputs):
    lineage = pq.read_table(example_outputs / "data" / "lineage")
    head = [(f.name, str(f.type)) for f in lineage.schema][:6]
    assert head == [("file", "string"), ("row", "int64"), ("query_id", "string"),
                    ("user_name", "string"), ("start_time", "timestamp[us]"),
                    ("duration_ms", "int64")]
    assert lineage.num_rows > 400


def test_every_log_row_is_in_statements_or_problems(example_outputs):
    with open(EXAMPLE_LOG, newline="", encoding="utf-8") as handle:
        ids = {row["query_id"] for row in csv.DictReader(handle)}
    data = example_outputs / "data"
    stated = set(pq.read_table(data / "statements").column("query_id").to_pylist())
    problems = set(pq.read_table(data / "problems").column("query_id").to_pylist())
    assert stated | problems == ids
    assert len(problems) == 4 and not stated & problems


@pytest.mark.parametrize("database", ["lineage.sqlite", "lineage.duckdb"])
def test_lineage_database_answers_both_questions_by_index(example_outputs, database):
    path = str(example_outputs / database)
    con = sqlite3.connect(path) if database.endswith("sqlite") else duckdb.connect(path)
    tables = {r[0] for r in con.execute(
        "select name from sqlite_master where type = 'table'" if database.endswith("sqlite")
        else "select table_name from information_schema.tables").fetchall()}
    assert tables == {"statements", "lineage", "indirect_lineage", "problems", "shapes"}
    feeds = con.execute(WHAT_FEEDS, ["mart.daily_revenue", "revenue"]).fetchall()
    assert [r[:3] for r in feeds] == [("sales", "orders", "gross_amount")]
    fed = con.execute(WHAT_IT_FEEDS, ["orders", "gross_amount", "sales"]).fetchall()
    assert {(r[0], r[1]) for r in fed} >= {("mart.daily_revenue", "revenue"),
                                           ("(query)", "gross_amount")}
    total = con.execute("select count(*) from statements").fetchone()[0]
    assert total == 396
    if database.endswith("sqlite"):
        for query, index in ((WHAT_FEEDS, "lineage_by_output"),
                             (WHAT_IT_FEEDS, "lineage_by_source")):
            plan = con.execute("explain query plan " + query, ["a", "b", "c"][:query.count("?")])
            assert index in " ".join(str(r) for r in plan.fetchall())
    else:
        names = {r[0] for r in con.execute("select index_name from duckdb_indexes()").fetchall()}
        assert {"lineage_by_output", "lineage_by_source"} <= names
    con.close()


@pytest.mark.parametrize("fmt", ["csv", "json"])
def test_printed_rows_carry_kept_columns(tmp_path, capsys, fmt):
    path = write_log(tmp_path / "log.jsonl", "jsonl")
    assert run("--log", str(path), "--keep", "query_id", "-f", fmt, "-j", "1") == 1
    out, err = capsys.readouterr()
    if fmt == "csv":
        lines = out.splitlines()
        assert lines[0] == ("file,row,query_id,statement,target,database,table,source_column,"
                            "output_column,transformation")
        assert f"{path},1,1,1,,sales,orders,amount,amount,IDENTITY" in lines
        assert f"{path},5,5,1,,crm,customers,email,email,IDENTITY" in lines
    else:
        statements = json.loads(out)
        assert [(s["row"], s["query_id"], s["status"]) for s in statements] == [
            (1, 1, "ok"), (2, 2, "ok"), (5, 5, "ok")]
        assert {"database": "crm", "table": "customers", "source_column": "email",
                "output_column": "email", "transformation": "IDENTITY"} in statements[2]["lineage"]
    assert f"{path}:3: error: empty query" in err and f"{path}:4: error: empty query" in err
    assert "5 log rows in 1 file" in err and "2 distinct shapes" in err


def test_globs_and_repeated_logs_of_mixed_formats(tmp_path, capsys):
    (tmp_path / "day").mkdir()
    for name in ("a.csv", "b.csv"):
        write_log(tmp_path / "day" / name, "csv")
    write_log(tmp_path / "more.parquet", "parquet")
    assert run("--log", str(tmp_path / "day" / "*.csv"), "--log", str(tmp_path / "more.parquet"),
               "-f", "csv", "-j", "1") == 1
    out, err = capsys.readouterr()
    files = {line.split(",")[0] for line in out.splitlines()[1:]}
    assert files == {str(tmp_path / "day" / "a.csv"), str(tmp_path / "day" / "b.csv"),
                     str(tmp_path / "more.parquet")}
    assert "15 log rows in 3 files" in err
    assert run("--log", str(tmp_path / "none*.csv")) == 1
    assert "none*.csv: no log file matches" in capsys.readouterr().err


def test_kept_cell_of_the_wrong_type_is_null_and_a_problem(tmp_path):
    rows = [{"query": "select t.a from t", "n": i} for i in range(1200)]
    rows[1100]["n"] = "many"  # past the rows the type is inferred from
    path = tmp_path / "log.jsonl"
    path.write_text("".join(json.dumps(r) + "\n" for r in rows), encoding="utf-8")
    out = tmp_path / "out"
    assert run("--log", str(path), "--keep", "n", "-f", "parquet", "-o", str(out), "-j", "1") == 1
    statements = pq.read_table(out / "statements")
    assert statements.schema.field("n").type == pa.int64()
    assert statements.num_rows == 1200
    assert statements.column("n").null_count == 1
    problems = pq.read_table(out / "problems").to_pylist()
    assert [(p["row"], p["column"], p["problem"]) for p in problems] == [
        (1101, "n", "'many' is not a value of type int64")]


# Dask.

def _parquet_rows(folder: Path) -> dict[str, list[str]]:
    found = {}
    for table in ("statements", "lineage", "indirect_lineage", "problems"):
        rows = pq.read_table(folder / table).to_pylist()
        found[table] = sorted(repr(sorted(r.items())) for r in rows)
    return found


@pytest.fixture(scope="module")
def local_run(tmp_path_factory):
    out = tmp_path_factory.mktemp("local") / "out"
    run("--log", str(EXAMPLE_LOG), "--keep", "query_id", "-f", "parquet", "-o", str(out),
        "-j", "1")
    return _parquet_rows(out)


@pytest.mark.parametrize("shuffle", [[], ["--shuffle-shapes"]])
def test_dask_local_cluster_matches_the_local_run(tmp_path, local_run, shuffle):
    out = tmp_path / "out"
    run("--log", str(EXAMPLE_LOG), "--keep", "query_id", "-f", "parquet", "-o", str(out),
        "--dask", "-j", "2", "--partition-size", "20k", *shuffle)
    assert len(list((out / "lineage").glob("*.parquet"))) > 2
    assert _parquet_rows(out) == local_run


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


# A worker started with this preload dies while writing its first partition,
# two of its tables done and the others half written, as a process killed
# mid-task would: the scheduler must run that partition again on the other.
DYING_WORKER = """
import os

import sql_lineage.logs.sinks as sinks

_close = sinks._TablePart.close
_closed = []


def close(self):
    if len(_closed) == 2:
        os._exit(1)
    _closed.append(self.path)
    _close(self)


sinks._TablePart.close = close
"""


@pytest.mark.parametrize("dying", [False, True], ids=["healthy", "one-worker-dies"])
def test_scheduler_with_two_workers_matches_the_local_run(tmp_path, local_run, capsys, dying):
    port = _free_port()
    address = f"tcp://127.0.0.1:{port}"
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    preload = tmp_path / "dying_worker.py"
    preload.write_text(DYING_WORKER)
    started = [subprocess.Popen(
        [sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1", "--port", str(port),
         "--dashboard-address", ":0", "--no-show"],
        env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
    try:
        for k in range(2):
            extra = ["--preload", str(preload)] if dying and k == 0 else []
            started.append(subprocess.Popen(
                [sys.executable, "-m", "distributed.cli.dask_worker", address, "--nthreads", "1",
                 "--no-nanny", "--host", "127.0.0.1", "--no-dashboard", *extra],
                env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        _wait_for_workers(address, 2)
        out = tmp_path / "out"
        run("--log", str(EXAMPLE_LOG), "--keep", "query_id", "-f", "parquet", "-o", str(out),
            "--scheduler", address, "--partition-size", "20k")
        assert _parquet_rows(out) == local_run  # every row, none twice
        lost = [line for line in capsys.readouterr().err.splitlines() if "was lost during the run" in line]
        assert len(lost) == (1 if dying else 0)
    finally:
        stop_all(started)


def _wait_for_workers(address: str, count: int) -> None:
    from distributed import Client

    deadline = time.monotonic() + 60
    while True:
        try:
            with Client(address, timeout=5) as client:
                client.wait_for_workers(count, timeout=max(1, deadline - time.monotonic()))
                return
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.5)

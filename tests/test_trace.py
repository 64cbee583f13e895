"""Script lineage: a column's chain through the statements of a run."""

import io
import json

import pytest

from support.lineage_records import indirect, result, source, statement
from sql_lineage.trace import build_script_graph, write_trace_json, write_trace_text

# raw.orders -> stage.s -> mart.m -> a query and copy.c (through a star);
# stage.s is also rewritten from itself.
SCRIPT = [
    result(statement(1, "stage.s", [
        ("order_id", [source("raw.orders.id")]),
        ("amt", [source("raw.orders.amount", "TRANSFORMATION"), source("raw.fx.rate", "TRANSFORMATION")]),
    ], [indirect("raw.orders.status", "FILTER")]), "load.sql"),
    result(statement(2, "stage.s", [
        ("order_id", [source("stage.s.order_id")]),
        ("amt", [source("stage.s.amt")]),
    ]), "load.sql"),
    result(statement(1, "MART.M", [
        ("OID", [source("Stage.S.Order_Id")]),
        ("total", [source("stage.s.amt", "AGGREGATION"), source("other.s.amt", "AGGREGATION", True)]),
    ]), "mart.sql"),
    result(statement(2, None, [("x", [source("mart.m.oid")])]), "mart.sql"),
    result(statement(3, "copy.c", [("*", [source("mart.m.*")])]), "mart.sql"),
    result(statement(4, "skipped.t", kind="skipped", status="skipped", message="DELETE"), "mart.sql"),
]


def trace_text(column, direction="upstream", results=SCRIPT):
    out = io.StringIO()
    found = write_trace_text(build_script_graph(results), column, direction, out)
    return found, out.getvalue()


@pytest.mark.parametrize("column, direction, expected", [
    # Upstream through an intermediate table, names matched whatever their case;
    # a table that writes itself is shown once, then "see above".
    ("mart.m.oid", "upstream", """\
MART.M.OID
  <- Stage.S.Order_Id  (IDENTITY, mart.sql:1)
    <- raw.orders.id  (IDENTITY, load.sql:1)
    <- stage.s.order_id  (IDENTITY, load.sql:2, see above)
"""),
    # Without a qualifier every table of that name matches; ambiguity is shown.
    ("s.amt", "upstream", """\
other.s.amt
  (no statement of the run writes this column)

stage.s.amt
  <- raw.orders.amount  (TRANSFORMATION, load.sql:1)
  <- raw.fx.rate  (TRANSFORMATION, load.sql:1)
  <- stage.s.amt  (IDENTITY, load.sql:2, see above)
"""),
    # Downstream to a plain query's output and through a star copy.
    ("raw.orders.id", "downstream", """\
raw.orders.id
  -> stage.s.order_id  (IDENTITY, load.sql:1)
    -> stage.s.order_id  (IDENTITY, load.sql:2, see above)
    -> MART.M.OID  (IDENTITY, mart.sql:1)
      -> x (output of mart.sql:2)  (IDENTITY, mart.sql:2)
      -> copy.c.OID  (IDENTITY, mart.sql:3)
"""),
    # A column of a table known only through a star copy.
    ("copy.c.total", "upstream", """\
copy.c.total
  <- mart.m.total  (IDENTITY, mart.sql:3)
    <- stage.s.amt  (AGGREGATION, mart.sql:1)
      <- raw.orders.amount  (TRANSFORMATION, load.sql:1)
      <- raw.fx.rate  (TRANSFORMATION, load.sql:1)
      <- stage.s.amt  (IDENTITY, load.sql:2, see above)
    <- other.s.amt  (AGGREGATION, mart.sql:1, ambiguous)
"""),
    ("raw.orders.id", "upstream", "raw.orders.id\n  (no statement of the run writes this column)\n"),
    ("mart.m.oid", "downstream", "MART.M.OID\n  -> x (output of mart.sql:2)  (IDENTITY, mart.sql:2)\n"
                                 "  -> copy.c.OID  (IDENTITY, mart.sql:3)\n"),
])
def test_chains(column, direction, expected):
    assert trace_text(column, direction) == (True, expected)


@pytest.mark.parametrize("column", [
    "raw.orders.nope",        # a column nothing reads or writes
    "elsewhere.orders.id",    # the right table name under another qualifier
    "orders",                 # no table part
    "raw.orders.status",      # read only as indirect lineage, which the chain does not follow
    "mart.sql:2.x",           # a plain query's output has no table name
])
def test_a_column_nothing_produces_or_reads_says_so(column):
    found, text = trace_text(column)
    assert not found
    assert text == f"{column}: no statement of the run reads or writes this column\n"


def test_json_lists_every_step_with_its_depth():
    out = io.StringIO()
    assert write_trace_json(build_script_graph(SCRIPT), "MART.M.oid", "upstream", out)
    document = json.loads(out.getvalue())
    assert document["direction"] == "upstream"
    [match] = document["matches"]
    assert match["column"] == "MART.M.OID"
    assert [(s["depth"], s["from"], s["to"], s["statement"], s["transformation"])
            for s in match["steps"]] == [
        (0, "Stage.S.Order_Id", "MART.M.OID", "mart.sql:1", "IDENTITY"),
        (1, "raw.orders.id", "stage.s.order_id", "load.sql:1", "IDENTITY"),
        (1, "stage.s.order_id", "stage.s.order_id", "load.sql:2", "IDENTITY"),
    ]
    out = io.StringIO()
    assert not write_trace_json(build_script_graph(SCRIPT), "x.y.z", "downstream", out)
    assert json.loads(out.getvalue())["matches"] == []

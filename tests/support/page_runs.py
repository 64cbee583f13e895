"""Runs of StatementLineage records for the page's tests: a small script whose chains
are known, names that try to break out of HTML, and a wide run for size."""

from __future__ import annotations

from sql_lineage.results import IndirectSource, OutputColumn, SourceColumn, StatementLineage


def src(qualified: str, column: str, transformation: str = "IDENTITY") -> SourceColumn:
    database, _, table = qualified.rpartition(".")
    return SourceColumn(database or None, table, column, transformation)  # type: ignore[arg-type]


def cond(qualified: str, column: str, kind: str) -> IndirectSource:
    database, _, table = qualified.rpartition(".")
    return IndirectSource(database or None, table, column, kind)  # type: ignore[arg-type]


def stmt(index, target, columns, indirect=(), sql="", kind=None, status="ok", message=None):
    outputs = tuple(OutputColumn(name, tuple(sources)) for name, sources in columns)
    return StatementLineage(
        index=index, line=index, kind=kind or ("insert" if target else "select"), target=target,
        status=status, message=message, columns=outputs, indirect=tuple(indirect), sql=sql,
    )


# raw.orders.amount -> stage.orders.net -> mart.revenue.total -> (query) total_k
# raw.orders.id -> stage.orders.id ; raw.fx.rate -> stage.orders.net ; raw.orders.region filters stage
SCRIPT = [
    ("etl.sql", stmt(1, "stage.orders", [
        ("id", [src("raw.orders", "id")]),
        ("net", [src("raw.orders", "amount", "TRANSFORMATION"), src("raw.fx", "rate", "TRANSFORMATION")]),
    ], [cond("raw.orders", "region", "FILTER")],
        sql="insert into stage.orders select o.id, o.amount * f.rate as net\n"
            "from raw.orders o join raw.fx f on f.day = o.day where o.region = 'EU'")),
    ("etl.sql", stmt(2, "mart.revenue", [
        ("total", [src("stage.orders", "net", "AGGREGATION")]),
    ], [cond("stage.orders", "id", "GROUP_BY")],
        sql="insert into mart.revenue select sum(net) as total from stage.orders group by id")),
    ("report.sql", stmt(1, None, [
        ("total_k", [src("Mart.Revenue", "TOTAL", "TRANSFORMATION")]),
    ], sql="select total / 1000 as total_k from Mart.Revenue")),
    ("etl.sql", stmt(3, None, [], kind="skipped", status="skipped", message="DELETE statement",
                     sql="delete from raw.orders")),
]

HOSTILE_NAME = '</script><img src=x onerror="alert(1)">&amp;"\'é中'
HOSTILE = [
    (f"we<ird>&\"{HOSTILE_NAME}.sql", stmt(1, f"db.{HOSTILE_NAME}", [
        (HOSTILE_NAME, [src(f"s.{HOSTILE_NAME}", f"c{HOSTILE_NAME}")]),
    ], sql=f"insert into x select \"c{HOSTILE_NAME}\" from y -- </script><script>alert(2)</script>")),
]


def wide_run(tables: int = 500, columns: int = 10) -> list:
    """`tables` tables of `columns` columns, each statement copying one table into the next."""
    run = []
    for number in range(1, tables):
        run.append(("wide.sql", stmt(number, f"w.t{number}", [
            (f"c{k}", [src(f"w.t{number - 1}", f"c{k}")]) for k in range(columns)
        ])))
    return run


def fake_analyse(sql, dialect, schema):
    """Stands in for the engine behind the web app: the script above for any SQL,
    nothing for none, or the failure that the SQL names."""
    failures = {"deep": RecursionError(), "bad": ValueError("no such dialect feature"),
                "boom": RuntimeError("engine bug")}
    if sql in failures:
        raise failures[sql]
    return [record for _, record in SCRIPT] if sql else []

"""The lineage database (SQLite or DuckDB) loaded from a run's Parquet parts,
with indexes for the two questions asked of it most:

- what feeds a column:       lineage by (target, output_column)
- what a column feeds:       lineage by (source_table, source_column, source_database)
"""

from __future__ import annotations

import datetime as dt
import os
import sqlite3
from typing import Any

import pyarrow as pa  # type: ignore[import-untyped]
import pyarrow.compute as pc  # type: ignore[import-untyped]
import pyarrow.dataset as ds  # type: ignore[import-untyped]

from .tables import TABLES

DATABASES = ("sqlite", "duckdb")

INDEXES = (
    ("lineage_by_output", "lineage", ("target", "output_column")),
    ("lineage_by_source", "lineage", ("source_table", "source_column", "source_database")),
    ("indirect_by_source", "indirect_lineage", ("source_table", "source_column",
                                                "source_database")),
    ("statements_by_row", "statements", ("file", "row")),
)

# What feeds column `output_column` of table `target`: its source columns.
WHAT_FEEDS = """
SELECT source_database, source_table, source_column, transformation, count(*) AS statements
FROM lineage
WHERE target = ? AND output_column = ?
GROUP BY source_database, source_table, source_column, transformation
ORDER BY statements DESC, source_database, source_table, source_column
""".strip()

# What column `source_column` of `source_database.source_table` feeds.
WHAT_IT_FEEDS = """
SELECT coalesce(target, '(query)') AS target, output_column, transformation,
       count(*) AS statements
FROM lineage
WHERE source_table = ? AND source_column = ? AND source_database = ?
GROUP BY target, output_column, transformation
ORDER BY statements DESC, target, output_column
""".strip()


def parts(folder: str, table: str) -> ds.Dataset:
    return ds.dataset(os.path.join(folder, table), format="parquet")


def distinct_shapes(folder: str) -> int:
    ids = parts(folder, "shapes").to_table(columns=["shape_id"]).column("shape_id")
    return int(pc.count_distinct(ids).as_py())


def load(kind: str, folder: str, path: str) -> None:
    """Writes the database at `path` (replacing it) from the parts in `folder`."""
    temp = f"{path}.tmp-{os.getpid()}"
    if os.path.exists(temp):
        os.remove(temp)
    if kind == "duckdb":
        _load_duckdb(folder, temp)
    else:
        _load_sqlite(folder, temp)
    os.replace(temp, path)


def _load_duckdb(folder: str, path: str) -> None:
    import duckdb

    con = duckdb.connect(path)
    try:
        for table in TABLES:
            pattern = os.path.join(folder, table, "*.parquet")
            con.execute(f"CREATE TABLE {table} AS SELECT * FROM read_parquet(?)", [pattern])
        con.execute("CREATE TABLE shapes AS SELECT shape_id, any_value(shape) AS shape "
                    "FROM read_parquet(?) GROUP BY shape_id",
                    [os.path.join(folder, "shapes", "*.parquet")])
        for name, table, columns in INDEXES:
            con.execute(f"CREATE INDEX {name} ON {table} ({', '.join(columns)})")
        con.execute("CHECKPOINT")
    finally:
        con.close()


_SQLITE_TYPES = (
    (pa.types.is_integer, "INTEGER"), (pa.types.is_boolean, "INTEGER"),
    (pa.types.is_floating, "REAL"),
)


def _sqlite_type(kind: pa.DataType) -> str:
    for test, name in _SQLITE_TYPES:
        if test(kind):
            return name
    return "TEXT"


def _sqlite_value(value: Any) -> Any:
    if isinstance(value, (dt.datetime, dt.date, dt.time)):
        return value.isoformat()
    if isinstance(value, (dict, list)):
        return str(value)
    return value


def _load_sqlite(folder: str, path: str) -> None:
    con = sqlite3.connect(path)
    try:
        con.execute("PRAGMA journal_mode = OFF")
        con.execute("PRAGMA synchronous = OFF")
        for table in (*TABLES, "shapes"):
            data = parts(folder, table)
            declared = ", ".join(f'"{f.name}" {_sqlite_type(f.type)}' for f in data.schema)
            key = ", PRIMARY KEY (shape_id)" if table == "shapes" else ""
            con.execute(f"CREATE TABLE {table} ({declared}{key})")
            verb = "INSERT OR IGNORE" if table == "shapes" else "INSERT"
            marks = ", ".join("?" * len(data.schema))
            convert = [pa.types.is_temporal(f.type) or pa.types.is_nested(f.type)
                       for f in data.schema]
            for batch in data.to_batches(batch_size=16384):
                columns = [
                    [_sqlite_value(v) for v in column.to_pylist()] if slow else column.to_pylist()
                    for column, slow in zip(batch.columns, convert)
                ]
                con.executemany(f"{verb} INTO {table} VALUES ({marks})", zip(*columns))
        for name, table, keys in INDEXES:
            con.execute(f"CREATE INDEX {name} ON {table} ({', '.join(keys)})")
        con.commit()
    finally:
        con.close()

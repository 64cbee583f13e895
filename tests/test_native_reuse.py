"""The native engine's shortcuts keep results as they were: state carried from
one call to the next, deduplication done in place or through an index, schema
lookups skipped when nothing can be found."""

from __future__ import annotations

import pytest

from sql_lineage import _engine, lineage

pytestmark = pytest.mark.skipif(not _engine.HAS_NATIVE_PARSER, reason="the native parser is not built in")


@pytest.mark.parametrize("width", [1, 8, 9, 40])
def test_repeated_filter_columns_are_listed_once(width: int) -> None:
    # Each column filtered twice, spelt differently: up to sixteen references go
    # through the in-place comparison, more through the index; both keep the first spelling.
    terms = " AND ".join(f"c{i} = 1 AND C{i} = 2" for i in range(width))
    (statement,) = lineage(f"SELECT a FROM t WHERE {terms}")
    assert [(item.table, item.column, item.kind) for item in statement.indirect] == [
        ("t", f"c{i}", "FILTER") for i in range(width)
    ]


def test_a_call_after_a_large_one_reads_as_a_first_call() -> None:
    small = "SELECT x.a, y.b FROM x JOIN y ON x.id = y.id WHERE y.c > 1"
    first = lineage(small)
    # Far more tokens than a call keeps for the next, then a few.
    lineage("SELECT " + ", ".join(f"c{i}" for i in range(20_000)) + " FROM wide")
    lineage("SELECT 1")
    assert lineage(small) == first
    assert lineage(small, dialect="tsql") == lineage(small, dialect="ansi")


@pytest.mark.parametrize(
    ("sql", "schema", "expected"),
    [
        ("SELECT * FROM n", None, ["*"]),
        ("SELECT * FROM n", {"n": ["p", "q"]}, ["p", "q"]),
        ("CREATE TABLE n AS SELECT a, b FROM t; SELECT * FROM n", None, ["a", "b"]),
        ("CREATE TABLE n AS SELECT a FROM t; SELECT * FROM n", {"t": ["a"]}, ["a"]),
    ],
)
def test_star_columns_come_from_the_schema_or_an_earlier_statement(
    sql: str, schema: dict[str, list[str]] | None, expected: list[str]
) -> None:
    statement = lineage(sql, schema=schema)[-1]
    assert [column.name for column in statement.columns] == expected

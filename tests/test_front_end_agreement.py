"""Our own parser against moz_sql_parser: wherever moz reads a statement, both
front-ends give the same lineage, apart from moz's known quirks (normalised
below, each with its reason). Generated and mutated SQL always gives a result."""

from __future__ import annotations

import json
import re
import warnings
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from sql_lineage import lineage
from sql_lineage.results import StatementLineage
from support.warehouse_corpus import CASES

REPO = Path(__file__).resolve().parent.parent
PEER_CASES = REPO.parent / "shared" / "peer-cases" / "peer_cases.json"

# moz quirks, normalised away before comparing:
# - an unaliased expression is named by moz's own formatter ("cast(a, timestamp())"
#   where we keep the text as written, "a::timestamp"): both become EXPR;
# - moz turns a quoted name with other characters into a word ("Weird Name" ->
#   Weird_Name): our names get the same treatment;
# - moz reads parameters (@p) as columns: those rows are dropped;
# - moz names an unaliased x::type by its formatter too, so an outer query that
#   reads it by the column's name finds nothing; we name it after the column, as
#   PostgreSQL does (moz cannot read :: anyway).
EXPR = "<expression>"


def _word(name: str) -> str:
    return re.sub(r"\W", "_", name).lower()


def _is_parameter(column: str) -> bool:
    return column.startswith(("@", ":", "$", "?"))


def comparable(statement: StatementLineage, moz_names: list[str] | None = None) -> tuple[object, ...]:
    columns = []
    for k, column in enumerate(statement.columns):
        reference = moz_names[k] if moz_names is not None and k < len(moz_names) else column.name
        name = EXPR if re.search(r"[^\w ]", reference) else _word(column.name)
        sources = sorted(
            (s.database or "", _word(s.table), _word(s.column), s.transformation, s.ambiguous)
            for s in column.sources if not _is_parameter(s.column))
        columns.append((name, tuple(sources)))
    indirect = sorted((i.database or "", _word(i.table), _word(i.column), i.kind)
                      for i in statement.indirect if not _is_parameter(i.column))
    return statement.kind, statement.target, tuple(columns), tuple(indirect)


def corpus_statements() -> list[str]:
    """Every statement we have, one text each, as moz's run splits them."""
    data = json.loads(PEER_CASES.read_text()) if PEER_CASES.exists() else {}
    texts = [c["sql"] for key in ("cases", "out_of_scope_cases", "bench_statements") for c in data.get(key, [])]
    texts += [sql for sql, _ in CASES]
    texts += [p.read_text() for p in sorted((REPO / "examples").glob("*.sql"))]
    statements: list[str] = []
    for text in texts:
        statements += [s.sql for s in lineage(text, parser="moz") if s.status == "ok"]
    return list(dict.fromkeys(statements))


@pytest.fixture(scope="module")
def statements() -> list[str]:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        found = corpus_statements()
    assert len(found) > 200
    return found


def test_native_agrees_with_moz_wherever_moz_reads(statements: list[str]) -> None:
    differences: list[object] = []
    for sql in statements:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            [moz] = lineage(sql, parser="moz")
        [native] = lineage(sql, parser="native")
        if native.status != "ok":
            differences.append((sql, native.message))
            continue
        moz_names = [c.name for c in moz.columns]
        if comparable(native, moz_names) != comparable(moz):
            differences.append((sql, comparable(moz), comparable(native, moz_names)))
    assert differences == []


# ---- generated SQL --------------------------------------------------------

NAMES = st.sampled_from(["a", "b", "c", "id", "amount", "created_at", "x1"])
TABLES = st.sampled_from(["t", "db.orders", "s.users", "u"])


@st.composite
def expressions(draw: st.DrawFn, qualifiers: tuple[str, ...], depth: int = 0) -> str:
    column = draw(NAMES)
    qualify = draw(st.booleans())
    if qualifiers and qualify:
        column = f"{draw(st.sampled_from(qualifiers))}.{column}"
    if depth >= 2:
        return draw(st.sampled_from([column, column, "1", "'s'"]))
    inner = expressions(qualifiers, depth + 1)
    options = [
        st.just(column),
        st.builds(lambda a, b, op: f"{a} {op} {b}", inner, inner, st.sampled_from(["+", "-", "*", "||"])),
        st.builds(lambda f, a: f"{f}({a})", st.sampled_from(["sum", "max", "upper", "coalesce", "abs"]), inner),
        st.builds(lambda a, b, c: f"case when {a} > 0 then {b} else {c} end", inner, inner, inner),
    ]
    options.append(st.builds(lambda a: f"cast({a} as int)", inner))
    return draw(st.one_of(*options))


@st.composite
def queries(draw: st.DrawFn, depth: int = 0) -> str:
    alias = f"q{depth}"
    if depth < 2 and draw(st.booleans()):
        source = f"({draw(queries(depth + 1))}) {alias}"
    else:
        source = f"{draw(TABLES)} {alias}"
    qualifiers: tuple[str, ...] = (alias,)
    join = ""
    if draw(st.booleans()):
        join = f" join {draw(TABLES)} j{depth} on {alias}.id = j{depth}.id"
        qualifiers += (f"j{depth}",)
    items = draw(st.lists(st.tuples(expressions(qualifiers), st.booleans()), min_size=1, max_size=4))
    select = ", ".join(f"{e} as o{k}" if named else e for k, (e, named) in enumerate(items))
    where = f" where {draw(expressions(qualifiers))} > 1" if draw(st.booleans()) else ""
    query = f"select {select} from {source}{join}{where}"
    if depth == 0 and draw(st.booleans()):
        query += f" union all {query}"
    return query


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(queries())
def test_generated_queries_agree_with_moz(sql: str) -> None:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        [moz] = lineage(sql, parser="moz")
    [native] = lineage(sql, parser="native")
    assert native.status == "ok", native.message
    if moz.status == "ok":
        moz_names = [c.name for c in moz.columns]
        assert comparable(native, moz_names) == comparable(moz)


# Edits that break statements in the ways real text breaks.
SPLICES = ["(", ")", "'", '"', "`", "[", "]", "/*", "*/", "--", ";", ",", "\x00", "\\", "$$", "::", "->",
           " select ", " from ", " union ", " case ", " end ", " over (", "ä"]


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.data(), st.sampled_from(["ansi", "postgres", "mysql", "snowflake", "bigquery", "hive",
                                   "duckdb", "sqlite", "tsql"]))
def test_mutated_statements_always_give_a_result(statements: list[str], data: st.DataObject, dialect: str) -> None:
    sql = data.draw(st.sampled_from(statements))
    for _ in range(data.draw(st.integers(1, 4))):
        at = data.draw(st.integers(0, len(sql)))
        cut = data.draw(st.integers(0, 5))
        sql = sql[:at] + data.draw(st.sampled_from(SPLICES)) + sql[at + cut:]
    results = lineage(sql, parser="native", dialect=dialect)
    assert all(r.status in ("ok", "skipped", "failed") for r in results)
    assert all(r.message for r in results if r.status != "ok")

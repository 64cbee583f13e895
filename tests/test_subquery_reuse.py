"""Reusing a sub-query's analysis within one call must not change any result."""

import json

import pytest

import querimo_main
from support.warehouse_corpus import CASES

PEER_CASES = "../shared/peer-cases/peer_cases.json"

# One alias name reused at several nesting levels, stars between them, and a
# sub-query read by several outer columns.
NESTED = [
    "select s.a, s.b as bb from (select s.a, s.b from (select s.a, s.b from db.t s) s) s",
    "select s.x as y from (select s.x from (select x from db.t) s) s",
    "select s.* from (select s.* from (select a, b as c from db.t) s) s",
    "select q.a, q.b from (select * from (select a, b from db.t) q) q",
    "select v.k1, v.k2, v.k3 from (select w.k1, w.k2, w.k3 from (select k1, k2, k3 from db.t) w) v",
    "select a from (select a from (select a from (select a from db.t)))",
]


def lineage_entries(sql):
    tree = querimo_main.parse(querimo_main.VexloParseMain._re_hint(sql))
    return sorted(querimo_main.Analyze(tree).analyze_sql(), key=repr)


def nested_renames(depth, width=4):
    query = "select " + ", ".join(f"c{i} as l0_{i}" for i in range(width)) + " from db.base"
    for level in range(1, depth + 1):
        items = ", ".join(f"s.l{level - 1}_{i} as l{level}_{i}" for i in range(width))
        query = f"select {items} from ({query}) s"
    return query


def same_alias_at_every_level(depth):
    query = "select a from db.t"
    for _ in range(depth):
        query = f"select s.a from ({query}) s"
    return query


def statements():
    yield from (sql for sql, _ in CASES)
    yield from NESTED
    yield from (nested_renames(depth) for depth in range(1, 6))
    yield from (same_alias_at_every_level(depth) for depth in (2, 5, 8))


@pytest.mark.parametrize("sql", list(statements()))
def test_reuse_changes_no_lineage(sql, monkeypatch):
    with_reuse = lineage_entries(sql)
    monkeypatch.setenv("QUERIMO_REUSE_SUBQUERIES", "0")
    without_reuse = lineage_entries(sql)
    assert with_reuse == without_reuse


def test_deep_renames_trace_to_the_base_table():
    entries = lineage_entries(nested_renames(6))
    assert sorted(entries) == sorted(("db.base", f"c{i}", f"l6_{i}") for i in range(4))


def test_one_alias_at_many_levels_stays_small():
    # Every level's alias matches at every level below it; the work and the
    # entries gathered must not multiply with each level.
    analyser = querimo_main.Analyze(querimo_main.parse(same_alias_at_every_level(14)))
    assert analyser.analyze_sql() == [("db.t", "a", "a")]
    assert len(analyser._var.sqls) < 1000


def test_reuse_follows_a_rebound_analyser_class(monkeypatch):
    analysed = []

    class Counting(querimo_main.Analyze):
        def analyze_sql(self, level=0):
            analysed.append(level)
            return super().analyze_sql(level)

    monkeypatch.setattr(querimo_main, "Analyze", Counting)
    sql = "select s.a, s.b from (select a, b from db.t) s"
    assert sorted(lineage_entries(sql)) == [("db.t", "a", "a"), ("db.t", "b", "b")]
    # The sub-query is analysed by the rebound class, once for both outer columns.
    assert analysed == [0, 1]

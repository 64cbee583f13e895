"""The full engine, `sql_lineage.lineage`: direct and indirect lineage per behaviour."""

from __future__ import annotations

import gc
import pickle

import pytest

from sql_lineage import lineage
from sql_lineage import _engine
from sql_lineage.engine import _CLASSES
from sql_lineage.schema import normalise_schema

I, T, A = "IDENTITY", "TRANSFORMATION", "AGGREGATION"


def rows(sql, schema=None):
    """Direct rows of every statement, as a set of (db, table, column, output, kind, ambiguous)."""
    found = set()
    for statement in lineage(sql, schema=schema):
        assert statement.status == "ok", statement.message
        found.update(statement.rows())
    return found


def indirect(sql, schema=None):
    [statement] = lineage(sql, schema=schema)
    return {(s.database, s.table, s.column, s.kind) for s in statement.indirect}


CTES = [
    ("with x as (select a from t), y as (select a as b from x) select b from y",
     {(None, "t", "a", "b", I, False)}),
    # A CTE named like a table hides it; read twice under two aliases it is resolved once.
    ("with t as (select k, v from db.src) select p.v, q.k from t p join t q on p.k = q.k",
     {("db", "src", "v", "v", I, False), ("db", "src", "k", "k", I, False)}),
    # A CTE reading a table of its own name reads the table.
    ("with orders as (select id from raw.orders) select id from orders",
     {("raw", "orders", "id", "id", I, False)}),
    # Recursive member: reads the anchor's columns, adds no table of the CTE's name, ends.
    ("with r as (select n from seed union all select r.n + 1 from r where r.n < 9) select n from r",
     {(None, "seed", "n", "n", T, False)}),
    ("select x.a from (select a from t) x where x.a in (select a from u)",
     {(None, "t", "a", "a", I, False)}),
]

EXPRESSIONS = [
    ("select coalesce(a.x, 0) as x, sum(amount) total, 1 as one, 'k' k from t a",
     {(None, "t", "x", "x", T, False), (None, "t", "amount", "total", A, False)}),
    ("select case when s > 1 then a else cast(b as int) end c from t",
     {(None, "t", "s", "c", T, False), (None, "t", "a", "c", T, False), (None, "t", "b", "c", T, False)}),
    ("select sum(a) over (partition by p order by o) w from t",
     {(None, "t", "a", "w", A, False), (None, "t", "p", "w", T, False), (None, "t", "o", "w", T, False)}),
    ("select (select max(u.b) from u where u.k = t.k) as m from t",
     {(None, "u", "b", "m", A, False)}),
    ("select count(*) as n from db.t", {("db", "t", "*", "n", A, False)}),
    ("select distinct a, b as c from t", {(None, "t", "a", "a", I, False), (None, "t", "b", "c", I, False)}),
]

# How a column reaches an output through scopes: the strongest use on the way wins.
USAGE = [
    ("with s as (select sum(a) as total from t) select total from s", {(None, "t", "a", "total", A, False)}),
    ("select x.total + 1 as more from (select sum(a) as total from t) x", {(None, "t", "a", "more", A, False)}),
    ("select x.b as c from (select a as b from t) x", {(None, "t", "a", "c", I, False)}),
    ("select upper(x.b) as c from (select a as b from t) x", {(None, "t", "a", "c", T, False)}),
    # Ambiguity carries through a sub-query to the outer column.
    ("select s.q from (select q from t1 join t2 on t1.id = t2.id) s",
     {(None, "t1", "q", "q", I, True), (None, "t2", "q", "q", I, True)}),
]

SET_OPERATIONS = [
    ("select a, b from t union all select c, d from u union select e, f from v",
     {(None, "t", "a", "a", I, False), (None, "u", "c", "a", I, False), (None, "v", "e", "a", I, False),
      (None, "t", "b", "b", I, False), (None, "u", "d", "b", I, False), (None, "v", "f", "b", I, False)}),
    ("select z from (select a as z from t union all select b from u) s",
     {(None, "t", "a", "z", I, False), (None, "u", "b", "z", I, False)}),
]

SCHEMA = {"db": {"t": {"a": "int", "b": "int"}, "u": ["k", "c"]}}
STARS = [
    ("select * from db.t", None, {("db", "t", "*", "*", I, False)}),
    ("select * from db.t", SCHEMA, {("db", "t", "a", "a", I, False), ("db", "t", "b", "b", I, False)}),
    ("select x.* from db.t x join db.u y on x.a = y.k", SCHEMA,
     {("db", "t", "a", "a", I, False), ("db", "t", "b", "b", I, False)}),
    ("select s.* from (select a, b as c from t) s", None,
     {(None, "t", "a", "a", I, False), (None, "t", "b", "c", I, False)}),
    # A column asked of a star over an unknown table comes from that table.
    ("select q from (select * from db.t9) s", None, {("db", "t9", "q", "q", I, False)}),
    ("select tab2.* from tab2 a join tab3 b on a.id = b.id", None, {(None, "tab2", "*", "*", I, False)}),
]

UNQUALIFIED = [
    ("select a from t", None, {(None, "t", "a", "a", I, False)}),
    # The source whose known columns hold the name.
    ("select c from db.t x join db.u y on x.a = y.k", SCHEMA, {("db", "u", "c", "c", I, False)}),
    ("select v from t join (select k, v from w) s on s.k = t.k", None, {(None, "w", "v", "v", I, False)}),
    # Undecided: one row per candidate, marked ambiguous.
    ("select q from t1 join t2 on t1.id = t2.id", None,
     {(None, "t1", "q", "q", I, True), (None, "t2", "q", "q", I, True)}),
    # A name the inner query's tables lack resolves in the enclosing query.
    ("select (select max(c) + a from db.u) m from db.t", SCHEMA,
     {("db", "u", "c", "m", A, False), ("db", "t", "a", "m", T, False)}),
]

INSERTS = [
    ("insert into db.out (c1, c2) select a, b + 1 from t",
     {(None, "t", "a", "c1", I, False), (None, "t", "b", "c2", T, False)}),
    ("insert overwrite table db.out partition (ds='1') select a from t", {(None, "t", "a", "a", I, False)}),
    ("create view v (x, y) as select a, b from t", {(None, "t", "a", "x", I, False), (None, "t", "b", "y", I, False)}),
    ("create table if not exists db.x (p int, q varchar(10)) as select a, b from t",
     {(None, "t", "a", "p", I, False), (None, "t", "b", "q", I, False)}),
    ("insert into table db.o partition (ds) (x) select a from t", {(None, "t", "a", "x", I, False)}),
    ("with s as (select a from t) insert into o (z) select a from s", {(None, "t", "a", "z", I, False)}),
    # Tables written earlier in the same call are known later.
    ("create table db.mid as select a, b from t; select * from db.mid",
     {(None, "t", "a", "a", I, False), (None, "t", "b", "b", I, False),
      ("db", "mid", "a", "a", I, False), ("db", "mid", "b", "b", I, False)}),
]

INDIRECT = [
    ("select t.a from t join u on t.k = u.k where u.f > 0 group by t.a having count(u.g) > 1 order by t.a",
     {(None, "t", "k", "JOIN"), (None, "u", "k", "JOIN"), (None, "u", "f", "FILTER"),
      (None, "t", "a", "GROUP_BY"), (None, "u", "g", "FILTER"), (None, "t", "a", "SORT")}),
    ("select case when x > 0 then y end c, row_number() over (partition by p order by o) r from t",
     {(None, "t", "x", "CONDITIONAL"), (None, "t", "p", "WINDOW"), (None, "t", "o", "WINDOW")}),
    # Through sub-queries: their own clauses count, and outer clauses reach the tables.
    ("select s.a from (select a, b from t where c = 1) s where s.b > 2",
     {(None, "t", "c", "FILTER"), (None, "t", "b", "FILTER")}),
    ("select a from t where b in (select c from u where d = 1)",
     {(None, "u", "c", "FILTER"), (None, "u", "d", "FILTER"), (None, "t", "b", "FILTER")}),
    # Positions name select-list items; a set operation's ORDER BY names its outputs.
    ("select a, b + c from t group by 1 order by 2",
     {(None, "t", "a", "GROUP_BY"), (None, "t", "b", "SORT"), (None, "t", "c", "SORT")}),
    ("select a from t union all select b from u order by a", {(None, "t", "a", "SORT"), (None, "u", "b", "SORT")}),
    # Correlated columns, JOIN ... USING; a CTE nobody reads adds nothing.
    ("select a from t where exists (select 1 from u where u.k = t.k)",
     {(None, "u", "k", "FILTER"), (None, "t", "k", "FILTER")}),
    ("select t.a from t join u using (k)", {(None, "t", "k", "JOIN"), (None, "u", "k", "JOIN")}),
    ("with unused as (select a from x where x.f = 1) select a from t", set()),
    # An output alias in ORDER BY / GROUP BY names that output.
    ("select a + b as total from t group by total order by total",
     {(None, "t", "a", "GROUP_BY"), (None, "t", "b", "GROUP_BY"), (None, "t", "a", "SORT"), (None, "t", "b", "SORT")}),
]


def _with_schema(table, schema=None):
    return [case if len(case) == 3 else (case[0], schema, case[1]) for case in table]


DIRECT = {
    "cte": _with_schema(CTES), "expression": _with_schema(EXPRESSIONS), "usage": _with_schema(USAGE),
    "set-operation": _with_schema(SET_OPERATIONS),
    "star": STARS, "unqualified": UNQUALIFIED, "write": _with_schema(INSERTS),
}


@pytest.mark.parametrize("sql, schema, expected", [
    pytest.param(*case, id=f"{behaviour}-{n}") for behaviour, table in DIRECT.items() for n, case in enumerate(table)
])
def test_direct_lineage(sql, schema, expected):
    assert rows(sql, schema) == expected


@pytest.mark.parametrize("sql, expected", INDIRECT)
def test_indirect_lineage(sql, expected):
    assert indirect(sql) == expected


def test_unaliased_expressions_are_named_after_their_sql():
    # Each front-end writes the SQL its own way; letter case aside they agree.
    [statement] = lineage("select sum(a), b from t")
    assert [c.name.lower() for c in statement.columns] == ["sum(a)", "b"]


def test_statements_report_kind_target_status_and_line():
    # The moz front-end reads no UPDATE: it is skipped.
    got = [(s.index, s.line, s.kind, s.target, s.status) for s in lineage(
        "select a from t;\nupdate t set a = 1;\n\ninsert into db.o select a from t;\nselect from", parser="moz")]
    assert got == [(1, 1, "select", None, "ok"), (2, 2, "skipped", None, "skipped"),
                   (3, 4, "insert", "db.o", "ok"), (4, 5, "select", None, "failed")]


@pytest.mark.parametrize("schema, expected", [
    ({"db": {"t": {"a": "int"}}}, {"db.t": ("a",), "*.t": ("a",)}),
    ({"T": ["A", "b"]}, {"t": ("A", "b")}),
    ({"c": {"db": {"t": ["a"]}}, "db": {"t": ["z"]}}, {"c.db.t": ("a",), "db.t": ("z",)}),
])
def test_schema_shapes(schema, expected):
    assert normalise_schema(schema) == expected


@pytest.mark.parametrize("schema, message", [
    (["t"], "schema must be a mapping of table names, not list"),
    ({"t": 3}, "schema: t must be a mapping of column names to types, a list of column names, "
               "or a mapping of table names, not int"),
    ({"t": [1]}, "schema: the columns of t must be non-empty str, not 1"),
    ({"db": {"t": {"a": "int", "u": {"x": "int"}}}}, "schema: db.t mixes column types with nested tables"),
    ({1: ["a"]}, "schema: names must be non-empty str, not 1"),
])
def test_schema_errors(schema, message):
    with pytest.raises(ValueError) as caught:
        lineage("select a from t", schema=schema)
    assert str(caught.value) == message


@pytest.mark.parametrize("kwargs, error, message", [
    ({"sql": b"select 1"}, TypeError, "sql must be a str, not bytes"),
    ({"sql": "select 1", "parser": "other"}, ValueError, "parser must be one of 'moz', 'native', not 'other'"),
    ({"sql": "", "dialect": "klingon"}, ValueError, "unknown dialect 'klingon'; known: ansi, postgres, redshift, "
     "mysql, snowflake, bigquery, hive, spark, databricks, duckdb, sqlite, tsql"),
    ({"sql": "", "dialect": "postgresql"}, ValueError, "unknown dialect 'postgresql'; known: ansi, postgres, "
     "redshift, mysql, snowflake, bigquery, hive, spark, databricks, duckdb, sqlite, tsql"),
    ({"sql": "", "dialect": "\ud800"}, ValueError, "unknown dialect '\\ud800'; known: ansi, postgres, redshift, "
     "mysql, snowflake, bigquery, hive, spark, databricks, duckdb, sqlite, tsql"),
    ({"sql": "", "dialect": 3}, TypeError, "dialect must be a str, not int"),
])
@pytest.mark.parametrize("parser", ["native", "moz"])
def test_bad_arguments_read_the_same_whichever_parser(kwargs, error, message, parser):
    with pytest.raises(error) as caught:
        lineage(**{"parser": parser, **kwargs})
    assert str(caught.value) == message


def _deep_tree(depth):
    tree = {"select": {"value": "a"}, "from": "t"}
    for _ in range(depth):
        tree = {"select": {"value": "s.a"}, "from": {"value": tree, "name": "s"}}
    return tree


@pytest.mark.parametrize("tree", [
    None, 3, "x", [], {"select": None}, {"select": [1, None, {"value": {"add": [{}, []]}}]},
    {"from": [{"join": 5, "on": {"eq": [1, 2]}}, {"value": {"lateral": 7}}]},
    {"select": "*", "with": [{"name": 1}, "x"], "union": "nope"},
    {"union_all": [{"select": {"value": "a"}, "from": "t"}, {"select": [{"value": "b"}, {"value": "c"}]}]},
])
def test_odd_trees_give_a_result(tree):
    [result] = _engine.analyse_moz([(tree, "select", None, ())], None, None, _CLASSES)
    assert isinstance(result, tuple) and len(result) == 3


def test_long_cte_chains_and_wide_selects_resolve_without_nesting():
    count = 3000
    ctes = [{"name": "c0", "value": {"select": [{"value": "a"}, {"value": "b"}], "from": "t"}}]
    ctes += [{"name": f"c{i}", "value": {"select": [{"value": {"add": ["a", 1]}, "name": "a"}, {"value": "b"}],
                                         "from": f"c{i - 1}"}} for i in range(1, count)]
    chain = {"with": ctes, "select": [{"value": "a"}, {"value": "b"}], "from": f"c{count - 1}"}
    width = 10_000
    wide = {"select": [{"value": f"s.c{i}"} for i in range(width)],
            "from": {"value": {"select": [{"value": f"c{i}"} for i in range(width)], "from": "t"}, "name": "s"}}
    [(chained, _, _), (widened, _, _)] = _engine.analyse_moz(
        [(chain, "select", None, ()), (wide, "select", None, ())], None, None, _CLASSES)
    assert [(c.name, [(s.column, s.transformation) for s in c.sources]) for c in chained] == [
        ("a", [("a", T)]), ("b", [("b", I)])]
    assert len(widened) == width and widened[-1].sources[0].column == f"c{width - 1}"


def test_deep_nesting_fails_that_statement_alone():
    batch = [(_deep_tree(200_000), "select", None, ()), (_deep_tree(3), "select", None, ())]
    deep, shallow = _engine.analyse_moz(batch, None, None, _CLASSES)
    assert isinstance(deep, RecursionError)
    assert [c.name for c in shallow[0]] == ["a"]
    [statement] = lineage("select a from " + "(select a from " * 400 + "t" + ") s" * 400, parser="moz")
    assert statement.status == "failed" and "nested too deeply" in statement.message


@pytest.mark.parametrize("sql, expected", [
    # INSERT with a column list defines the table for later statements; a later
    # INSERT into a known table does not redefine it.
    ("insert into db.o (x, y) select a, b from t; insert into db.o (z) select c from t; select * from db.o",
     {("db", "o", "x", "x"), ("db", "o", "y", "y")}),
    ("create table s.m as select a from t; create table s.m as select b, c from t; select * from s.m",
     {("s", "m", "b", "b"), ("s", "m", "c", "c")}),
    # A schema table is found by its own name when the query leaves the database
    # out; the rows name the table as the query does.
    ("select * from orders", {(None, "orders", "id", "id")}),
    # ... but another database's table of that name is not that table.
    ("select * from archive.orders", {("archive", "orders", "*", "*")}),
])
def test_schema_grows_with_written_tables(sql, expected):
    last = lineage(sql, schema={"sales": {"orders": ["id"]}})[-1]
    assert {r[:4] for r in last.rows()} == expected


@pytest.mark.parametrize("sql, problem", [
    ("select q from t1 join t2 on t1.id = t2.id", "column q is ambiguous between t1, t2"),
    ("select z.a from t", "no FROM item is named z (column a)"),
    ("select s.nope from (select a from t) s", "column nope is not among the columns of s"),
])
def test_problems_are_reported_not_fatal(sql, problem):
    [statement] = lineage(sql)
    assert statement.status == "ok" and problem in statement.problems


@pytest.mark.parametrize("args, message", [
    ((), "analyse_moz() takes 4 arguments (0 given)"),
    (([], None, None, (1, 2)), "classes must be a tuple (SourceColumn, OutputColumn, IndirectSource, StatementLineage)"),
    (([], [], None, _CLASSES), "schema must be a dict or None"),
    (([("x",)], None, None, _CLASSES), "each statement must be a tuple (tree, kind, target, target_columns)"),
    (([({}, 1, None, ())], None, None, _CLASSES), "a statement's kind must be a str"),
    (([({}, "insert", "t", (1,))], None, None, _CLASSES), "a target column must be a str"),
])
def test_engine_argument_errors(args, message):
    with pytest.raises(TypeError) as caught:
        _engine.analyse_moz(*args)
    assert str(caught.value) == message


def test_records_match_those_made_in_python():
    from sql_lineage.results import OutputColumn, SourceColumn

    [statement] = lineage("select sum(t.a) as s from db.t")
    assert statement.columns == (OutputColumn("s", (SourceColumn("db", "t", "a", "AGGREGATION", False),)),)
    assert hash(statement.columns[0]) == hash(OutputColumn("s", (SourceColumn("db", "t", "a", "AGGREGATION"),)))


def test_record_classes_with_post_init_are_called():
    from dataclasses import dataclass

    calls = []

    @dataclass(frozen=True, slots=True)
    class Column:
        name: str
        sources: tuple

        def __post_init__(self):
            calls.append(self.name)

    tree = {"select": [{"value": "a"}, {"value": "b"}], "from": "t"}
    [(columns, _, _)] = _engine.analyse_moz([(tree, "select", None, ())], None, None,
                                            (_CLASSES[0], Column, *_CLASSES[2:]))
    assert calls == ["a", "b"] and [type(c) for c in columns] == [Column, Column]


def test_namer_errors_fail_that_statement():
    def namer(tree):
        raise KeyError("no name")

    tree = {"select": {"value": {"add": ["a", 1]}}, "from": "t"}
    [result] = _engine.analyse_moz([(tree, "select", None, ())], None, namer, _CLASSES)
    assert isinstance(result, KeyError)


def test_no_leaks():
    from support.leakcheck import assert_no_leak

    good = {"select": [{"value": "x.a"}, {"value": {"sum": "b"}, "name": "s"}, "*"],
            "from": [{"value": "db.t", "name": "x"}, {"join": "u", "on": {"eq": ["x.k", "u.k"]}}],
            "where": {"gt": ["u.f", 1]}}

    def run(i):
        schema = {"db.t": (f"a{i}", "b")}
        _engine.analyse_moz([(good, "insert", "o", ("p", "q", "r")), (_deep_tree(3), "select", None, ()),
                             ({"select": {"value": "a"}, "from": "t"}, "select", None, ())],
                            schema, None, _CLASSES)
        with pytest.raises(TypeError):
            _engine.analyse_moz([(good, 1, None, ())], schema, None, _CLASSES)
        if _engine.HAS_NATIVE_PARSER:
            _engine.analyse_native(f"select x.a{i}, sum(b) from db.t x; update t set a = 1; select from",
                                   "ansi", schema, _CLASSES)

    assert_no_leak(run, calls=300)


NATIVE = [
    ("update db.t set a = s.b from s where s.k = t.k", {(None, "s", "b", "a")}),
    ("merge into tgt using src on tgt.k = src.k when matched then update set v = src.v "
     "when not matched then insert (k, v) values (src.k, src.v)",
     {(None, "src", "v", "v"), (None, "src", "k", "k")}),
    ("with recursive r (n) as (select n from seed union all select n + 1 from r) select n from r",
     {(None, "seed", "n", "n")}),
    ("select a from (with x as (select a from t) select a from x) s", {(None, "t", "a", "a")}),
    ("with x (p, q) as (select a, b from t) select p, q from x", {(None, "t", "a", "p"), (None, "t", "b", "q")}),
    ("select * except (b) from (select a, b, c from t) s", {(None, "t", "a", "a"), (None, "t", "c", "c")}),
    ("select u.n from t cross join unnest(t.arr) as u (n)", {(None, "t", "arr", "n")}),
]


@pytest.mark.skipif(not _engine.HAS_NATIVE_PARSER, reason="the native parser is not built in")
@pytest.mark.parametrize("sql, expected", NATIVE)
def test_native_front_end(sql, expected):
    statements = lineage(sql, parser="native")
    assert [s.status for s in statements] == ["ok"]
    rows = [r[:4] for r in statements[0].rows()]
    assert set(rows) == expected and len(rows) == len(expected)


def test_arbitrary_trees_give_a_result_or_an_exception():
    from hypothesis import given, settings
    from hypothesis import strategies as st

    keys = st.sampled_from(["select", "from", "where", "with", "union", "value", "name", "join", "on", "using",
                            "groupby", "orderby", "case", "when", "cast", "over", "partitionby", "lateral", "sum"])
    leaves = st.one_of(st.none(), st.integers(), st.sampled_from(["a", "t.a", "db.t", "*", "t.*", "", ".", "x."]))
    trees = st.recursive(leaves, lambda inner: st.one_of(st.lists(inner, max_size=4),
                                                         st.dictionaries(keys, inner, min_size=1, max_size=4)),
                         max_leaves=40)

    @settings(max_examples=300, deadline=None)
    @given(trees, st.sampled_from([(), ("p",), ("p", "q")]))
    def check(tree, columns):
        [result] = _engine.analyse_moz([(tree, "insert", "db.o", columns)], {"t": ("a",)}, None, _CLASSES)
        assert isinstance(result, (tuple, Exception))

    check()


@pytest.mark.parametrize("parser", ["native", "moz"])
def test_records_are_left_out_of_the_cycle_collector_and_stay_whole(parser):
    # Millions of kept results must not slow every collection down; they hold
    # only strings, numbers and tuples of records, so they can close no cycle.
    [result] = lineage("select t.a, count(*) n from db.t join u on t.id = u.id group by t.a", parser=parser)
    column = result.columns[0]
    records = [column, column.sources[0], result.indirect[0]] + ([result] if parser == "native" else [])
    assert not any(gc.is_tracked(record) for record in records)
    gc.collect()
    assert pickle.loads(pickle.dumps(result)) == result
    assert result.columns[0].sources[0].table == "t"


def test_names_come_back_as_written_call_after_call():
    # Names are shared between calls: spellings that differ only in case, long
    # names and names beyond ASCII must each keep their own text.
    long_name = "c" * 70
    names = ['"Col"', '"col"', '"COL"', long_name, long_name + "x", '"naïve"', '"naı̈ve"']
    sql = "select " + ", ".join(names) + " from db.t"
    for _ in range(3):
        [result] = lineage(sql, dialect="postgres")
        assert [c.name for c in result.columns] == [n.strip('"') for n in names]
        assert [c.sources[0].column for c in result.columns] == [n.strip('"') for n in names]
        assert {c.sources[0].database for c in result.columns} == {"db"}


PEOPLE = {"person": {"person": ["firstname", "lastname"]}, "sales": {"customer": ["customerid", "personid"]}}


@pytest.mark.parametrize("sql, schema, expected", [
    # The table is known to lack user_name: it is the alias given just before.
    ("select firstname as user_name, user_name || lastname as id from person.person", PEOPLE,
     {("firstname", "user_name", I), ("firstname", "id", T), ("lastname", "id", T)}),
    # Without a schema the table may well hold the column: it stays one.
    ("select firstname as user_name, user_name || lastname as id from person.person", None,
     {("firstname", "user_name", I), ("user_name", "id", T), ("lastname", "id", T)}),
    # A column the table has wins over an alias of the same name.
    ("select firstname || lastname as firstname, firstname as raw from person.person", PEOPLE,
     {("firstname", "firstname", T), ("lastname", "firstname", T), ("firstname", "raw", I)}),
    # Only items before it count; inside a sub-query across a join too.
    ("select s.code from (select p.firstname as part, part || c.customerid as code"
     " from person.person p join sales.customer c on p.firstname = c.personid) s", PEOPLE,
     {("firstname", "code", T), ("customerid", "code", T)}),
])
def test_a_select_item_reads_an_earlier_alias_only_where_no_table_has_the_name(sql, schema, expected):
    assert {(r[2], r[3], r[4]) for r in rows(sql, schema)} == expected

"""Our own SQL front-end (parser="native"): dialect syntax, statement kinds,
tolerance and hostile inputs, checked through the lineage it produces."""

from __future__ import annotations

import pytest

from sql_lineage import lineage
from sql_lineage.results import StatementLineage
from support.subprocess_python import run_python

Row = tuple[str | None, str, str, str]


def analyse(sql: str, dialect: str = "ansi") -> list[StatementLineage]:
    return lineage(sql, parser="native", dialect=dialect)


def direct(sql: str, dialect: str = "ansi") -> set[Row]:
    """Direct rows (database, table, source column, output column) of every statement."""
    rows: set[Row] = set()
    for statement in analyse(sql, dialect):
        assert statement.status == "ok", (statement.status, statement.message)
        rows |= {row[:4] for row in statement.rows()}
    return rows


# (dialect, sql, expected direct rows): what each dialect's syntax reads.
SYNTAX = [
    # Quoting keeps the real spelling; each dialect its own quotes.
    ("ansi", 'select "Weird Name", "a""b" from t', {(None, "t", "Weird Name", "Weird Name"), (None, "t", 'a"b', 'a"b')}),
    ("mysql", "select `Weird Name` from `db`.`t`", {("db", "t", "Weird Name", "Weird Name")}),
    ("tsql", "select [Weird Name] as [x y] from [db].[dbo].[t]", {("db.dbo", "t", "Weird Name", "x y")}),
    ("bigquery", "select a from `proj.ds.t`", {("proj.ds", "t", "a", "a")}),
    ("bigquery", "select a from my-project.ds.t", {("my-project.ds", "t", "a", "a")}),
    # Strings that hold what would otherwise end or split the statement.
    ("postgres", "select a, $$ ; ' $$ as s, $tag$ ; $tag$ as u, E'\\' ;' as v from t", {(None, "t", "a", "a")}),
    ("mysql", "select a, 'it\\'s ; here' as s, \"x ; y\" as d from t", {(None, "t", "a", "a")}),
    ("bigquery", "select a, r'\\' as s, \"q\" as d from t", {(None, "t", "a", "a")}),
    ("ansi", "select a, 'it''s' as s from t", {(None, "t", "a", "a")}),
    # Comments, including nested ones and MySQL's '#'.
    ("postgres", "select a /* x /* nested ; */ y */, -- b ;\n c from t", {(None, "t", "a", "a"), (None, "t", "c", "c")}),
    ("mysql", "select a, # not b ;\n c from t", {(None, "t", "a", "a"), (None, "t", "c", "c")}),
    # Casts and typed values.
    ("postgres", "select a::numeric(10, 2) as x, b::text[] as y from t",
     {(None, "t", "a", "x"), (None, "t", "b", "y")}),
    ("ansi", "select cast(a as varchar(10)) x, try_cast(b as int) y, date '2024-01-01' d from t",
     {(None, "t", "a", "x"), (None, "t", "b", "y")}),
    ("ansi", "select extract(year from a) y, dateadd(day, 1, b) d, a + interval '1' day i from t",
     {(None, "t", "a", "y"), (None, "t", "b", "d"), (None, "t", "a", "i")}),
    # Predicates and CASE.
    ("ansi", "select case when a between 1 and 2 and b is not distinct from c then d end x from t",
     {(None, "t", "a", "x"), (None, "t", "b", "x"), (None, "t", "c", "x"), (None, "t", "d", "x")}),
    ("ansi", "select case a when 1 then b else c end x from t",
     {(None, "t", "a", "x"), (None, "t", "b", "x"), (None, "t", "c", "x")}),
    ("ansi", "select a like b escape '!' or c ilike 'x' or d rlike 'y' as m from t",
     {(None, "t", "a", "m"), (None, "t", "b", "m"), (None, "t", "c", "m"), (None, "t", "d", "m")}),
    ("ansi", "select a in (b, c) x, a = any (select d from u) y from t",
     {(None, "t", "a", "x"), (None, "t", "b", "x"), (None, "t", "c", "x"), (None, "t", "a", "y"), (None, "u", "d", "y")}),
    ("ansi", "select a collate \"C\" as x from t", {(None, "t", "a", "x")}),
    # Attribute phrases after a value: a heading or format keeps the name, NAMED renames;
    # the same words as a call's argument stay columns.
    ("ansi", "select dob (title 'Born'), d (format 'YYYY') as e, x (NAMED y), (a + b) (named s), f(title) g from t",
     {(None, "t", "dob", "dob"), (None, "t", "d", "e"), (None, "t", "x", "y"), (None, "t", "a", "s"),
      (None, "t", "b", "s"), (None, "t", "title", "g")}),
    # Aggregates with their clauses.
    ("ansi", "select count(*) filter (where a > 0) n, percentile_cont(0.5) within group (order by b) p from t",
     {(None, "t", "*", "n"), (None, "t", "a", "n"), (None, "t", "b", "p")}),
    ("ansi", "select string_agg(distinct a, ',' order by b) s from t", {(None, "t", "a", "s"), (None, "t", "b", "s")}),
    # Semi-structured values, arrays and lambdas: a lambda's parameter is no column.
    ("postgres", "select j->'k'->>'l' x, j #>> '{a,b}' y from t", {(None, "t", "j", "x"), (None, "t", "j", "y")}),
    ("snowflake", "select v:a.b::string x, v['c'] y from t", {(None, "t", "v", "x"), (None, "t", "v", "y")}),
    ("hive", "select transform(xs, x -> x + k) y, filter(xs, (x, i) -> i > 0) z from t",
     {(None, "t", "xs", "y"), (None, "t", "k", "y"), (None, "t", "xs", "z")}),
    ("duckdb", "select [a, b][1] x, {'k': c} y from t", {(None, "t", "a", "x"), (None, "t", "b", "x"), (None, "t", "c", "y")}),
    ("bigquery", "select struct(a as x, b) s, array[c] r from t",
     {(None, "t", "a", "s"), (None, "t", "b", "s"), (None, "t", "c", "r")}),
    # Row limits, in each dialect's words.
    ("tsql", "select top 10 a from t", {(None, "t", "a", "a")}),
    ("tsql", "select top (5) percent with ties a from t order by a", {(None, "t", "a", "a")}),
    ("ansi", "select a from t order by a offset 5 rows fetch first 10 rows only", {(None, "t", "a", "a")}),
    ("mysql", "select a from t limit 5, 10", {(None, "t", "a", "a")}),
    # Parameters and templating are no columns; a templated name is a name.
    ("ansi", "select a from t where b = ? and c = $1 and d = :name and e = @v and f = ${x}",
     {(None, "t", "a", "a")}),
    ("ansi", "select a from ${schema}.orders", {("${schema}", "orders", "a", "a")}),
    # Windows, named ones included; QUALIFY.
    ("snowflake", "select a, row_number() over w as rn from t window w as (partition by b order by c) qualify rn = 1",
     {(None, "t", "a", "a")}),
    # FROM: table functions, UNNEST, LATERAL VIEW, VALUES, joins of many kinds.
    ("hive", "select k, v from t lateral view explode(m) e as k, v",
     {(None, "t", "m", "k"), (None, "t", "m", "v")}),
    ("ansi", "select x from (values (1), (2)) as v(x)", set()),
    ("ansi", "select a.x, b.y from a natural left outer join b cross join lateral (select 1) c",
     {(None, "a", "x", "x"), (None, "b", "y", "y")}),
    ("tsql", "select a.x, c.y from a cross apply (select y from b where b.k = a.k) c",
     {(None, "a", "x", "x"), (None, "b", "y", "y")}),
    ("ansi", "select * from ((select a from t) union (select b from u)) s",
     {(None, "t", "a", "a"), (None, "u", "b", "a")}),
    ("ansi", "select x.a from ((select a from t) x join u on x.a = u.a)", {(None, "t", "a", "a")}),
    # Set operations: names from the first member, columns by position.
    ("ansi", "select a from t union all select b from u except select c from v minus select d from w",
     {(None, "t", "a", "a"), (None, "u", "b", "a"), (None, "v", "c", "a"), (None, "w", "d", "a")}),
    # WITH, recursive, and a WITH before INSERT.
    ("ansi", "with recursive r (n) as (select n from s union all select n + 1 from r) select n from r",
     {(None, "s", "n", "n")}),
    ("ansi", "with c as (select a from t) insert into u select a from c", {(None, "t", "a", "a")}),
    # Special argument forms: the words inside are no columns.
    ("ansi", "select trim(both ' ' from a) t, substring(b from 1 for 2) s, position('x' in c) p from t",
     {(None, "t", "a", "t"), (None, "t", "b", "s"), (None, "t", "c", "p")}),
    ("tsql", "select convert(varchar(10), d, 120) s, datediff(day, a, b) n from #tmp",
     {(None, "#tmp", "d", "s"), (None, "#tmp", "a", "n"), (None, "#tmp", "b", "n")}),
    ("mysql", "select group_concat(distinct a order by b separator ',') g from t",
     {(None, "t", "a", "g"), (None, "t", "b", "g")}),
    ("postgres", "select distinct on (a) a, b from t order by a, b desc", {(None, "t", "a", "a"), (None, "t", "b", "b")}),
    ("ansi", "select a from t group by grouping sets ((a), (a, b), ()), rollup (c)", {(None, "t", "a", "a")}),
    # Table functions and their arguments.
    ("snowflake", "select f.value as v from t, lateral flatten(input => t.arr) f", {(None, "t", "arr", "v")}),
    ("bigquery", "select n from unnest([1, 2]) as n with offset as o", set()),
    ("postgres", "select u.x from t, unnest(t.arr) as u(x)", {(None, "t", "arr", "x")}),
    ("sqlite", "select [a b] from [t]", {(None, "t", "a b", "a b")}),
    # Star modifiers.
    ("bigquery", "select * except (b) from (select a, b from t)", {(None, "t", "a", "a")}),
    ("snowflake", "select * exclude b from (select a, b from t)", {(None, "t", "a", "a")}),
]


@pytest.mark.parametrize(("dialect", "sql", "expected"), SYNTAX, ids=[f"{d}:{s[:50]}" for d, s, _ in SYNTAX])
def test_syntax_reads_the_columns_it_names(dialect: str, sql: str, expected: set[Row]) -> None:
    assert direct(sql, dialect) == expected


# (sql, kind, target, rows): what each statement writes and reads.
STATEMENTS = [
    ("insert into db.t (x, y) select a, b from s", "insert", "db.t", {("", "s", "a", "x"), ("", "s", "b", "y")}),
    ("insert overwrite table t partition (dt='1', r) select a from s", "insert", "t", {("", "s", "a", "a")}),
    ("insert into t (x) values (1), (2)", "insert", "t", set()),
    ("create or replace temporary table if not exists t as select a from s", "create table", "t",
     {("", "s", "a", "a")}),
    ("create table t (x int not null, primary key (x)) stored as parquet location 's3://b' "
     "tblproperties ('k'='v') as select a from s", "create table", "t", {("", "s", "a", "x")}),
    ("create table t with (format = 'ORC') partitioned by (d) as (select a from s)", "create table", "t",
     {("", "s", "a", "a")}),
    ("create materialized view if not exists v (x) as select a from s", "create view", "v", {("", "s", "a", "x")}),
    ("create or replace table t copy grants as with c as (select a from s) select a from c", "create table", "t",
     {("", "s", "a", "a")}),
    ("create or replace secure view v comment = 'c' as select a from s", "create view", "v", {("", "s", "a", "a")}),
    ("update t as u set x = s.a + 1, y = 2 from s where s.k = u.k", "update", "t", {("", "s", "a", "x")}),
    ("update a set x = b.y from t a join s b on a.k = b.k", "update", "t", {("", "s", "y", "x")}),
    ("merge into t using s on t.k = s.k when matched and s.d then delete "
     "when matched then update set x = s.a when not matched by target then insert (k, x) values (s.k, s.b)",
     "merge", "t", {("", "s", "a", "x"), ("", "s", "k", "k"), ("", "s", "b", "x")}),
    ("select a into new_t from s", "create table", "new_t", {("", "s", "a", "a")}),
    ("create procedure p() begin insert into t (x) select a from s", "insert", "t", {("", "s", "a", "x")}),
]


@pytest.mark.parametrize(("sql", "kind", "target", "expected"), STATEMENTS, ids=[s[:60] for s, *_ in STATEMENTS])
def test_statements_write_their_target(sql: str, kind: str, target: str, expected: set[tuple[str, str, str, str]]) -> None:
    [statement] = analyse(sql)
    assert (statement.status, statement.kind, statement.target) == ("ok", kind, target)
    assert {("" if r[0] is None else r[0], *r[1:4]) for r in statement.rows()} == expected


@pytest.mark.parametrize(("sql", "keyword"), [
    ("delete from t where a = 1", "DELETE"),
    ("create table t (a int, b text)", "CREATE TABLE"),
    ("create table t like s", "CREATE TABLE"),
    ("create table t clone s", "CREATE TABLE"),
    ("create unique index i on t (a)", "CREATE INDEX"),
    ("alter table t add column c int", "ALTER TABLE"),
    ("drop view if exists v", "DROP VIEW"),
    ("set search_path = x", "SET"),
    ("use db", "USE"),
    ("explain select a from t", "EXPLAIN"),
    ("copy t from 's3://x'", "COPY"),
    ("grant select on t to u", "GRANT"),
    ("insert into t default values", "INSERT"),
    ("v_total := v_total + 1", "ASSIGNMENT"),
])
def test_statements_without_lineage_are_skipped_by_keyword(sql: str, keyword: str) -> None:
    [statement] = analyse(sql)
    assert (statement.status, statement.kind) == ("skipped", "skipped")
    assert statement.message == f"{keyword} statement: no column lineage"


def test_indirect_lineage_from_every_clause() -> None:
    [statement] = analyse(
        "select a.x, sum(b.y) over (partition by b.p order by b.o) w from a join b on a.k = b.k "
        "where a.f > 0 group by a.x, b.y, b.p, b.o having count(a.h) > 1 order by a.s")
    kinds = {(i.table, i.column, i.kind) for i in statement.indirect}
    assert {("a", "k", "JOIN"), ("b", "k", "JOIN"), ("a", "f", "FILTER"), ("a", "x", "GROUP_BY"),
            ("a", "h", "FILTER"), ("a", "s", "SORT"), ("b", "p", "WINDOW"), ("b", "o", "WINDOW")} <= kinds
    transformations = {(c.name, s.column): s.transformation for c in statement.columns for s in c.sources}
    assert transformations[("x", "x")] == "IDENTITY" and transformations[("w", "y")] == "AGGREGATION"


@pytest.mark.parametrize(("sql", "expected"), [
    # A number alone in GROUP BY / ORDER BY names a select-list position; in an
    # expression it is a number.
    ("select a, b + c from t group by 1 order by 2 desc",
     {("a", "GROUP_BY"), ("b", "SORT"), ("c", "SORT")}),
    ("select a from t order by 1 + d, 1::int", {("d", "SORT")}),
    ("select a from t union select b from u order by 1", {("a", "SORT"), ("b", "SORT")}),
])
def test_positions_in_group_and_order_by(sql: str, expected: set[tuple[str, str]]) -> None:
    [statement] = analyse(sql)
    assert {(i.column, i.kind) for i in statement.indirect} == expected


# (dialect, text, statements): ';' ends a statement only outside quotes and comments.
SPLITS = [
    ("ansi", "select ';' a from t; select \"x;y\" from t -- ;\n; /* ; */ select 1", 3),
    ("postgres", "select $$;$$ a, $q$ ; $q$ b, E'\\';' c from t; select 1", 2),
    ("mysql", "select 'a\\';' x, \"b;\" y, `c;` from t; # ;\nselect 1", 2),
    ("bigquery", "select r'\\' x from t; select 1", 2),
    ("tsql", "select [a;b] from t;;; select 1;", 2),
    ("ansi", ";; -- only comments\n; /* and blanks */ ;", 0),
    ("ansi", "select 1;\n/\nselect 2\n  /  \nselect 3 / 4\n/", 3),
]


@pytest.mark.parametrize(("dialect", "text", "count"), SPLITS, ids=[f"{d}:{t[:30]}" for d, t, _ in SPLITS])
def test_statements_end_only_outside_quotes_and_comments(dialect: str, text: str, count: int) -> None:
    results = analyse(text, dialect)
    assert len(results) == count
    assert all(r.status != "failed" for r in results), [r.message for r in results]
    # Each statement's text runs from its first token to its last, without the ';'.
    assert all(r.sql and not r.sql.endswith(";") and r.sql == r.sql.strip() for r in results)


def test_pivot_keeps_the_columns_it_names_and_says_what_it_lacks() -> None:
    [statement] = analyse("select * from t pivot (sum(amount) for month in ('jan', 'feb')) as p")
    assert statement.status == "ok"
    assert {(i.column, i.kind) for i in statement.indirect} >= {("amount", "GROUP_BY"), ("month", "GROUP_BY")}
    assert any("PIVOT" in p for p in statement.problems)


# (text, statuses, message part): errors name what was expected and where, and
# the statements around them are still read.
ERRORS = [
    ("select a from t; select from; select b from u", ["ok", "failed", "ok"], "expected an expression, found 'from' (line 1, column 25)"),
    ("select a,\n  b c d from t", ["failed"], "line 2, column 7"),
    ("selec a from t;\nselect a from t", ["failed", "ok"], "expected a statement"),
    ("select a from t where x = 'never closed; select b from u", ["failed"], "a string that is never closed"),
    ("select a /* never closed; select b from u", ["failed"], "a comment that is never closed"),
    ("select a\x00b from t; select c from u", ["failed", "ok"], "a NUL byte"),
    ("select a\udfffb from t; select c from u", ["failed", "ok"], "not valid UTF-8 (line 1, column 9)"),
    ("select (a from t; select (b) from u", ["failed", "ok"], "this bracket is never closed (line 1, column 8)"),
    ("select 'a\nb' as x,\n /* c\n d */ y z w from t", ["failed"], "found 'w' (line 4, column 11)"),
    ("select 'ä' ö, \"ü\nü\" x y from t", ["failed"], "found 'y' (line 2, column 6)"),
]


@pytest.mark.parametrize(("text", "statuses", "message"), ERRORS, ids=[t[:40] for t, *_ in ERRORS])
def test_errors_say_what_and_where(text: str, statuses: list[str], message: str) -> None:
    results = analyse(text)
    assert [r.status for r in results] == statuses
    failed = next(r for r in results if r.status == "failed")
    assert message in (failed.message or "")


@pytest.mark.parametrize(("sql", "expected"), [
    # An argument list it cannot read keeps the names in it, with a warning.
    ("select f(a b c) as x from t", {(None, "t", "a", "x"), (None, "t", "b", "x"), (None, "t", "c", "x")}),
    ("select g(1 2 c) x, d from t", {(None, "t", "c", "x"), (None, "t", "d", "d")}),
])
def test_unreadable_constructs_keep_their_columns(sql: str, expected: set[Row]) -> None:
    [statement] = analyse(sql)
    assert statement.status == "ok"
    assert {row[:4] for row in statement.rows()} == expected
    assert any("read only the column names" in p for p in statement.problems)


@pytest.mark.parametrize("text", [
    "select " + "(" * 100_000 + "a" + ")" * 100_000 + " from t",
    "select " + "(" * 100_000,
    "select a from t where " + " and ".join(["not"] * 5000) + " x",
    "select " + "- " * 50_000 + "a from t",
    "select " + "case when " * 3000 + "a",
    "select * from " + "(select * from " * 2000 + "t" + ") s" * 2000,
])
def test_deep_nesting_fails_that_statement_only(text: str) -> None:
    results = analyse(text + "; select z from t")
    assert results[0].status == "failed"
    assert results[-1].status == "ok"


def test_nesting_limit_holds_on_a_small_thread_stack() -> None:
    # The parser checks the room left on the thread's own stack, so a 256 KiB
    # thread gets an error for the statement, never a crash.
    outcome = run_python("""
        import threading, sql_lineage
        results = {}
        def work():
            sql = "select * from " + "(select * from " * 900 + "t" + ") s" * 900
            deep = "select " + "(" * 900 + "a" + ")" * 900 + " from t"
            results["r"] = [r.status for r in sql_lineage.lineage(sql + ";" + deep + "; select 1", parser="native")]
        threading.stack_size(256 * 1024)
        t = threading.Thread(target=work)
        t.start(); t.join()
        report(results["r"])
    """)
    assert outcome[-1] == "ok" and len(outcome) == 3


def test_large_inputs_stay_readable() -> None:
    wide = "select " + ", ".join(f"t.c{i} as o{i}" for i in range(10_000)) + " from db.t t"
    [statement] = analyse(wide)
    assert len(statement.columns) == 10_000 and statement.columns[-1].name == "o9999"
    union = " union all ".join(f"select c{i} from t{i}" for i in range(1000))
    [statement] = analyse(union)
    assert len(statement.columns[0].sources) == 1000
    nested = "select c from t0"
    for i in range(200):
        nested = f"select c from ({nested}) s{i}"
    [statement] = analyse(nested)
    assert statement.rows() == [(None, "t0", "c", "c", "IDENTITY", False)]
    huge = "select a from t where x in (" + ",".join(["1"] * 2_000_000) + ") and y = 'never closed"
    [statement] = analyse(huge)
    assert statement.status == "failed" and "never closed" in (statement.message or "")


@pytest.mark.parametrize(("sql", "names"), [
    # A bare column keeps its name, an alias wins, x::type is named after x;
    # other expressions, CAST(...) included, by their text.
    ("select a, t.b, c as d, a::int, cast(t.b as text), (c)::int::text, a + 1 from t",
     ["a", "b", "d", "a", "cast(t.b as text)", "c", "a + 1"]),
    ('select "Mixed Case", `q`, e\'x\' from t', ["Mixed Case", "q", "e'x'"]),
    ("select count(  *  ), sum(a)\n  over (partition by b) from t", ["count( * )", "sum(a) over (partition by b)"]),
])
def test_output_names(sql: str, names: list[str]) -> None:
    [statement] = analyse(sql)
    assert [c.name for c in statement.columns] == names


@pytest.mark.parametrize("name", ["ansi", "POSTGRES", "redshift", "mysql", "snowflake", "bigquery", "hive",
                                  "spark", "databricks", "duckdb", "sqlite", "tsql"])
def test_every_dialect_name_is_known(name: str) -> None:
    assert direct("select a from t", name) == {(None, "t", "a", "a")}


def test_unknown_dialect_is_refused() -> None:
    with pytest.raises(ValueError, match="dialect"):
        analyse("select 1", "oracle-ish")


def test_positions_count_characters_and_lines() -> None:
    results = analyse("select 1;\n\n  -- note\n  select ä from from t")
    assert [r.line for r in results] == [1, 4]
    assert "found 'from' (line 4, column 17)" in (results[1].message or "")

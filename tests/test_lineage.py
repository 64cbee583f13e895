"""End-to-end lineage through the real parser: SQL text in, records out."""

import pytest

import querimo_main


def lineage(sql):
    records = querimo_main.VexloParseMain()._parse_sql(sql)
    return {(r.database, r.table, r.src, r.tgt) for r in records}


@pytest.mark.parametrize(
    "sql, expected",
    [
        # aliases
        ("select t.id as uid from db.users t", {("db", "users", "id", "uid")}),
        ("select t.id from db.users t", {("db", "users", "id", "id")}),
        ("select a, b as bb from db.t", {("db", "t", "a", "a"), ("db", "t", "b", "bb")}),
        ("select x.a, y.b from db.t x join db.u y on x.id = y.id",
         {("db", "t", "a", "a"), ("db", "u", "b", "b")}),
        # a sub-query that renames a column
        ("select s.k as total from (select a.qty as k from t a) s", {(None, "t", "qty", "total")}),
        ("select s.k from (select qty as k from db.t) s", {("db", "t", "qty", "k")}),
        # stars
        ("select * from t", {(None, "t", "*", "*")}),
        ("select * from db.t", {("db", "t", "*", "*")}),
        ("select *, a from t", {(None, "t", "*", "*"), (None, "t", "a", "a")}),
        ("select t.* from db.users t", {("db", "users", "*", "*")}),
        ("select s.* from (select * from t) s", {(None, "t", "*", "*")}),
        ("select s.* from (select a, b as c from db.t) s", {("db", "t", "a", "a"), ("db", "t", "b", "c")}),
        ("select s.* from (select u.a, b as c from db.u u) s", {("db", "u", "a", "a"), ("db", "u", "b", "c")}),
        ("select s.* from (select s.a as b from t s) s", {(None, "t", "a", "b")}),
        ("select * from (select a, b as bb from db1.t1) s", {("db1", "t1", "a", "a"), ("db1", "t1", "b", "bb")}),
        # unaliased sub-queries
        ("select a from (select a from t)", {(None, "t", "a", "a")}),
        ("select a from (select a from (select a from db.t))", {("db", "t", "a", "a")}),
        ("select a from (select * from (select a from t) q)", {(None, "t", "a", "a")}),
        # qualifiers that name a table written without alias
        ("select t.x from t", {(None, "t", "x", "x")}),
        ("select t.x from db.t", {("db", "t", "x", "x")}),
        ("select t.x, u.y from db.t join u on t.id = u.id", {("db", "t", "x", "x"), (None, "u", "y", "y")}),
        # letter case of aliases and qualifiers
        ("select TA.col1 from tab2 as ta", {(None, "tab2", "col1", "col1")}),
        ("select ta.col1 from tab2 as TA", {(None, "tab2", "col1", "col1")}),
        # unions
        ("select a from t union all select b from db.u", {(None, "t", "a", "a"), ("db", "u", "b", "b")}),
        ("select a from t union select a from t", {(None, "t", "a", "a")}),
        # a union with ORDER BY or LIMIT parses as a select-less wrapper around it
        ("select a from t union select b from db.u order by 1",
         {(None, "t", "a", "a"), ("db", "u", "b", "b")}),
        ("select a from t union all select b from u limit 5", {(None, "t", "a", "a"), (None, "u", "b", "b")}),
        ("select x.a from (select a from t union all select a from u order by a) x",
         {(None, "t", "a", "a"), (None, "u", "a", "a")}),
        # quoted identifiers with spaces become underscores
        ('select "my col" as "out col" from t', {(None, "t", "my_col", "out_col")}),
        # comments and hints
        ("select /*+ index(t i) */ a -- first\nfrom t /* tail */", {(None, "t", "a", "a")}),
        ("select a, -- a note\n b\nfrom t", {(None, "t", "a", "a"), (None, "t", "b", "b")}),
        # values without lineage
        ("select 1 as one from t", set()),
        ("select count(a) as c from t", set()),
        ("select a", set()),
        # database-qualified names with more than one dot keep the first two pieces
        ("select a from a.b.c", {("a", "b", "a", "a")}),
    ],
)
def test_lineage_of_statements(sql, expected):
    assert lineage(sql) == expected


def test_records_are_vexlo_records_with_the_four_fields():
    (record,) = querimo_main.VexloParseMain()._parse_sql("select t.id as uid from db.users t")
    assert isinstance(record, querimo_main.VexloVar)
    assert (record.database, record.table, record.src, record.tgt) == ("db", "users", "id", "uid")


def test_unqualified_column_over_a_join_is_reported_as_ambiguous(capsys):
    with pytest.raises(RuntimeError, match=r"'a' is not qualified and is ambiguous"):
        querimo_main.VexloParseMain()._parse_sql("select a from t join u on t.id = u.id")
    printed = capsys.readouterr().out
    assert "'t'" in printed and "'u'" in printed


def test_parser_errors_reach_the_caller():
    with pytest.raises(Exception) as raised:
        querimo_main.VexloParseMain()._parse_sql("select from where")
    assert not isinstance(raised.value, (SystemError, RuntimeError))


@pytest.mark.parametrize(
    "sql",
    [
        # x hands the column to y, whose sub-query hands it back to x, without a table.
        "select x.a from (select y.a from t) x join (select x.a from u) y on x.a = y.a",
        "select x.a from (select y.a from t) x join (select z.a from u) y on 1 = 1 "
        "join (select x.a from v) z on 1 = 1",
        # the same through sub-queries without FROM
        "select x.a from (select y.a) x join (select x.a) y on 1 = 1",
    ],
)
def test_aliases_handing_a_column_back_and_forth_end_in_recursion_error(sql):
    with pytest.raises(RecursionError):
        querimo_main.VexloParseMain()._parse_sql(sql)


@pytest.mark.parametrize(
    "sql, expected",
    [
        # The sub-query hands back its own alias, spelt like the outer one: the outer
        # scan goes on to the inner occurrence instead of entering the sub-query again.
        ("select q.a, q.b from (select * from (select a, b from db.t) q) q",
         {("db", "t", "a", "a"), ("db", "t", "b", "b")}),
        ("select s.a from (select s.a from t) s", set()),
        # An expansion through a sub-query that itself expands a star under the same alias.
        ("select s.* from (select s.* from (select a, b as c from db.t) s) s",
         {("db", "t", "a", "a"), ("db", "t", "b", "c")}),
    ],
)
def test_alias_reused_at_two_levels(sql, expected):
    assert lineage(sql) == expected


@pytest.mark.parametrize(
    "sql, expected",
    [
        # Each nested `alias.*` replaces the whole-row entry, and the outer scan goes
        # on with the inner alias until the chain reaches a sub-query with columns.
        ("select a.* from (select q.* from (select c from t) q) a", {(None, "t", "c", "c")}),
        ("select one.* from (select s.* from (select score from events) s) one",
         {(None, "events", "score", "score")}),
        ('select a.* from (select q.* from (select one.id, one.v as "out col" from db.t as one) as q) as a',
         {("db", "t", "id", "id"), ("db", "t", "v", "out_col")}),
        ("select b.* from (select s.* from (select p from t) s) b join (select n from u) s on b.id = s.id",
         {(None, "t", "p", "p"), (None, "u", "n", "n")}),
        ("select t2.* from (select one.* from (select b.z from s b join (select e from u, v) t2 "
         "on b.id = t2.id) one) t2", {(None, "s", "z", "z")}),
        # a nested expansion that removes the entry: the scan goes on with the outer alias
        ("select s.* from (select s.* from (select a from t) s) s", {(None, "t", "a", "a")}),
    ],
)
def test_chains_of_alias_stars_reach_the_innermost_columns(sql, expected):
    assert lineage(sql) == expected


@pytest.mark.parametrize(
    "sql, expected",
    [
        ("select total from (select amount total) c", set()),
        ("select c.total from (select amount total) c", set()),
        ("select s.a from (select *) s", set()),
        ("select s.a from (select 2 as a) s", set()),
        ("SELECT b.a FROM (SELECT 2 AS a) b", set()),
        # a qualifier handed back by such a sub-query is still followed
        ("select s.a from (select q.a) s", set()),
        # beside a table or another sub-query, the qualified column is not ambiguous
        ("select s.a, t.b from (select amount a) s join t on s.a = t.b", {(None, "t", "b", "b")}),
        ("select s.a, q.b from (select amount a) s join (select b from u) q on s.a = q.b",
         {(None, "u", "b", "b")}),
        # the other members of a union keep their rows
        ("select a from t union all select c.total from (select amount total) c", {(None, "t", "a", "a")}),
        ("select c.total from (select amount total) c union select b from db.u", {("db", "u", "b", "b")}),
    ],
)
def test_subqueries_without_from_give_no_lineage_and_end(sql, expected):
    assert lineage(sql) == expected


@pytest.mark.parametrize(
    "sql, sources",
    [
        ("select y from db.u, db.v", "['db.u', 'db.v']"),
        ("select y from t1 join t2 on t1.id = t2.id", "['t1', 't2']"),
        ("select y from db.u as x, (select 1 as k) x2", "['db.u AS x', 'x2 (sub-query)']"),
        ("select y from t left join (select a from u union select b from v) q on t.id = q.id "
         "cross join db.w as w", "['t', 'q (sub-query)', 'db.w AS w']"),
        ("select y from t, (select 1 as k)", "['t', '(sub-query)']"),
    ],
)
def test_ambiguity_names_each_source_as_written(sql, sources, quiet_stdout):
    with pytest.raises(RuntimeError) as raised:
        querimo_main.VexloParseMain()._parse_sql(sql)
    assert str(raised.value) == f"column 'y' is not qualified and is ambiguous between the FROM sources {sources}"


def test_ambiguity_still_prints_the_from_member_itself(capsys):
    with pytest.raises(RuntimeError):
        querimo_main.VexloParseMain()._parse_sql("select y from t1 join t2 on t1.id = t2.id")
    assert capsys.readouterr().out == (
        "['t1', VexloVar({'join': 't2', 'on': VexloVar({'eq': ['t1.id', 't2.id']})})]\n"
    )

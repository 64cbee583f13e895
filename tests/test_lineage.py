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


def test_aliases_handing_a_column_back_and_forth_end_in_recursion_error():
    # x hands the column to y, whose sub-query hands it back to x, without a table.
    sql = "select x.a from (select y.a from t) x join (select x.a from u) y on x.a = y.a"
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

"""Splitting SQL text into statements, and recognising the write forms around a query."""

import os
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

# The tool's sources, ahead of any installed copy.
sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "python"))

from sql_lineage.splitter import split_statements  # noqa: E402
from sql_lineage.statements import plan_statement  # noqa: E402


def texts(sql):
    return [s.text.strip() for s in split_statements(sql)]


@pytest.mark.parametrize(
    "sql, expected",
    [
        ("select 1; select 2", ["select 1", "select 2"]),
        ("select 1;", ["select 1"]),
        # quotes of every kind protect ";"
        ("select ';' from t; select 2", ["select ';' from t", "select 2"]),
        ('select ";" from t; select 2', ['select ";" from t', "select 2"]),
        ("select `a;b` from t; select 2", ["select `a;b` from t", "select 2"]),
        ("select 'it''s; fine' from t; x", ["select 'it''s; fine' from t", "x"]),
        ("select 'a\";' from t; x", ["select 'a\";' from t", "x"]),
        # comments protect ";"
        ("select 1 -- ; no split\nfrom t; select 2", ["select 1 -- ; no split\nfrom t", "select 2"]),
        ("select 1 /* ; */ from t; select 2", ["select 1 /* ; */ from t", "select 2"]),
        ("select /*+ hint(a;b) */ 1; select 2", ["select /*+ hint(a;b) */ 1", "select 2"]),
        # block comments nest: the first "*/" does not end the comment
        ("/* a /* ; */ ; */ select 1; select 2", ["/* a /* ; */ ; */ select 1", "select 2"]),
        # comment markers inside quotes are text, and quotes inside comments are comment
        ("select '--' ; select 2", ["select '--'", "select 2"]),
        ("select '/*' ; select '*/'", ["select '/*'", "select '*/'"]),
        ("-- it's here\nselect 1; select 2", ["-- it's here\nselect 1", "select 2"]),
        ("/* don't */ select 1; select 2", ["/* don't */ select 1", "select 2"]),
        # unterminated quotes and comments run to the end of the text
        ("select 'abc; def", ["select 'abc; def"]),
        ("select 1; /* ; select 2", ["select 1"]),
        ("select 1; -- ; select 2", ["select 1"]),
        # pieces without code are not statements
        (";; \n ; select 1;;", ["select 1"]),
        ("-- only a comment\n/* and another; */", []),
        ("", []),
        (" \n\t ", []),
    ],
)
def test_splits_at_semicolons_outside_quotes_and_comments(sql, expected):
    assert texts(sql) == expected


def test_statements_are_numbered_from_one_and_know_their_first_line():
    sql = "-- header\n\nselect 1;\r\n;\n  /* c */ select\n2;select 3"
    statements = split_statements(sql)
    assert [(s.number, s.line) for s in statements] == [(1, 3), (2, 5), (3, 6)]


def test_token_offsets_are_relative_to_the_statement_text():
    statements = split_statements("select 1; insert into t select 2")
    second = statements[1]
    assert [second.text[t.start:t.end] for t in second.tokens] == [
        "insert", "into", "t", "select", "2",
    ]


# Statements built from pieces that hide ";" in every way the splitter knows of.
_word = st.sampled_from(["select", "a", "from", "t", "1", "x.y", "(", ")", ",", "=", "*"])
_single = st.text(st.characters(blacklist_characters="'"), max_size=8).map(lambda s: f"'{s}'")
_double = st.text(st.characters(blacklist_characters='"'), max_size=8).map(lambda s: f'"{s}"')
_line_comment = st.text(st.characters(blacklist_characters="\n"), max_size=8).map(lambda s: f"--{s}\n")
_block_comment = st.text(st.sampled_from("ab; '\"-\n"), max_size=8).map(lambda s: f"/*{s}*/")
_piece = st.one_of(_word, _single, _double, _line_comment, _block_comment)
_statement = st.lists(_piece, max_size=8).map(" ".join).filter(
    lambda s: bool(split_statements(s))  # has some code, not only comments
)


@settings(max_examples=300)
@given(st.lists(_statement, min_size=1, max_size=5))
def test_joined_statements_split_back_into_the_same_pieces(statements):
    # Each piece ends with a newline, so a line comment cannot swallow the ";".
    sql = ";".join(s + "\n" for s in statements)
    assert [s.text for s in split_statements(sql)] == [s + "\n" for s in statements]


def plan(sql):
    [statement] = split_statements(sql)
    return plan_statement(statement)


@pytest.mark.parametrize(
    "sql, kind, target, query",
    [
        ("select a from t", "select", None, "select a from t"),
        ("  /*+ hint */ select a from t  -- tail", "select", None, "select a from t"),
        ("((select a from t))", "select", None, "select a from t"),
        ("with c as (select a from t) select a from c", "select", None,
         "with c as (select a from t) select a from c"),
        ("insert into mart.x select a from t", "insert", "mart.x", "select a from t"),
        ("INSERT INTO TABLE mart.x SELECT a FROM t", "insert", "mart.x", "SELECT a FROM t"),
        ("insert into mart.x (c1, c2) select a, b from t", "insert", "mart.x",
         "select a, b from t"),
        ("insert /*+ append */ into x (select a from t)", "insert", "x", "select a from t"),
        ("insert overwrite table mart.d partition (dt = '2024-01-01', h) select a from t",
         "insert", "mart.d", "select a from t"),
        ("insert into table d partition (dt) (c1) select a from t", "insert", "d",
         "select a from t"),
        ("insert overwrite table d partition (dt='x') if not exists select a from t",
         "insert", "d", "select a from t"),
        ('insert into "my db".`my t` select a from t', "insert", "my db.my t", "select a from t"),
        ("insert into x with c as (select 1 as a) select a from c", "insert", "x",
         "with c as (select 1 as a) select a from c"),
        ("create table mart.y as select a from t", "create table", "mart.y", "select a from t"),
        ("CREATE OR REPLACE TEMPORARY TABLE IF NOT EXISTS y AS (SELECT a FROM t)",
         "create table", "y", "SELECT a FROM t"),
        ("create table y stored as orc tblproperties ('a'='b') as select a from t",
         "create table", "y", "select a from t"),
        ("create table y (c1, c2) as select a, b from t", "create table", "y",
         "select a, b from t"),
        ("create materialized view v as select a from t", "create view", "v", "select a from t"),
        ("create or replace view bi.v as select a from t", "create view", "bi.v",
         "select a from t"),
    ],
)
def test_recognises_queries_and_their_write_target(sql, kind, target, query):
    result = plan(sql)
    assert (result.kind, result.target, result.query, result.reason) == (kind, target, query, None)


@pytest.mark.parametrize(
    "sql, reason_start",
    [
        ("update t set a = 1", "UPDATE statement"),
        ("merge into t using u on t.id = u.id when matched then delete", "MERGE statement"),
        ("drop table t", "DROP statement"),
        ("set hive.exec.parallel = true", "SET statement"),
        ("insert into t values (1, 2)", "INSERT into t from VALUES, not from a query"),
        ("insert into t (a) values (1)", "INSERT into t from VALUES, not from a query"),
        ("insert into t", "INSERT into t from nothing, not from a query"),
        ("insert overwrite local directory '/tmp/x' select a from t", "INSERT OVERWRITE DIRECTORY (a file export)"),
        ("insert overwrite directory '/tmp/x' select a from t", "INSERT OVERWRITE DIRECTORY (a file export)"),
        ("insert all into a select 1", "INSERT ALL"),
        ("create table t (a int, b string)", "CREATE TABLE t without AS SELECT"),
        ("create index i on t (a)", "CREATE INDEX"),
        ("with c as (select a from t) insert into x select a from c", "WITH ... INSERT"),
        ("values (1)", "VALUES statement"),
        ("'text'", "statement starting with 'text'"),
    ],
)
def test_skips_what_it_cannot_analyse_and_says_why(sql, reason_start):
    result = plan(sql)
    assert (result.kind, result.query) == ("skipped", None)
    assert result.reason.startswith(reason_start + ":"), result.reason

"""The analyser's and the parse driver's methods one at a time, on hand-made trees."""

import pytest

import querimo_main
from vexlo_var import VexloVar

Analyze = querimo_main.Analyze


def tree(mapping):
    return VexloVar(mapping)


# ---- path rewriting ---------------------------------------------------------

SEARCH_TREE = tree({"select": {"value": "a", "name": "alias"}, "x": "root-x"})


@pytest.mark.parametrize(
    "full_path, one, other, expected",
    [
        ("select.value", "value", "name", "alias"),    # looks up $.select.name
        ("select.value", "value", "missing", None),
        ("select", "", ".value", "a"),                  # an empty `one` keeps the whole path
        ("q", "qq", ".x", "root-x"),                    # "$.q" cut by two: "$" + ".x"
        ("q", "sixsix", "x", "root-x"),                 # cut past the start: "x" alone, relative
    ],
)
def test_one_search_other_cuts_by_length_and_appends(full_path, one, other, expected):
    assert Analyze._one_search_other(SEARCH_TREE, full_path, one, other) == expected


def test_one_search_other_needs_a_sized_one():
    with pytest.raises(TypeError):
        Analyze._one_search_other(SEARCH_TREE, "select.value", 5, "name")


def test_one_search_other_writes_a_number_as_text():
    numbered = tree({"select": [{"value": "a"}, {"value": "b"}]})
    assert Analyze._one_search_other(numbered, "select.value", "value", 1) is None
    assert Analyze._one_search_other(numbered, "select[1]", "[1]", "[0].value") == "a"


@pytest.mark.parametrize(
    "full_path, one, other, expected",
    [
        ("select.value", "value", "select", {"value": "a", "name": "alias"}),  # no "one": $.select
        ("select.phone", "value", "name", None),  # cut at "ph|one": $.select.phname
        ("phone.one", "x", "name", None),
    ],
)
def test_one_replace_other_searches_the_analysers_own_tree(full_path, one, other, expected):
    analyser = Analyze(tree({"select": {"value": "a", "name": "alias"}}))
    assert analyser._one_replace_other(full_path, one, other) == expected


def test_one_replace_other_rejects_a_non_text_other():
    analyser = Analyze(tree({}))
    with pytest.raises(TypeError):
        analyser._one_replace_other("select.value", "value", 5)


# ---- the statement walk -----------------------------------------------------


def test_analyze_sql_normalises_a_copy_and_leaves_the_given_tree_alone():
    given = {"select": {"value": "total amount"}, "from": "db.my table", "a b": 1, "a_b": 2}
    analyser = Analyze(given)
    assert analyser.analyze_sql() == [("db.my_table", "total_amount", "total_amount")]
    assert given["select"] == {"value": "total amount"}
    assert analyser.tree is not given
    assert analyser.tree["a_b"] == 2 and "a b" not in analyser.tree


def test_analyze_sql_accumulates_over_calls_and_passes_the_level_on():
    seen = []

    class Recording(Analyze):
        def _analyze_sql_start(self, tree, level):
            seen.append(level)
            return super()._analyze_sql_start(tree, level)

    analyser = Recording({"select": {"value": "a"}, "from": "t"})
    assert analyser.analyze_sql(5) == [("t", "a", "a")]
    assert analyser.analyze_sql() == [("t", "a", "a")]
    assert seen == [5, 0]
    assert analyser._var.sqls == [("t", "a", "a"), ("t", "a", "a")]


@pytest.mark.parametrize(
    "union_tree, expected",
    [
        ({"union": []}, []),
        ({"union_all": [{"select": {"value": "a"}, "from": "t"}], "union": []}, [("t", "a", "a")]),
        # values that are no member lists, and elements that are no statements, are passed over
        ({"union": [{"select": {"value": "a"}, "from": "t"}, "junk", 3], "limit": 5, "orderby": {"value": 1}},
         [("t", "a", "a")]),
    ],
)
def test_union_members_are_walked_one_by_one(union_tree, expected):
    assert sorted(Analyze(union_tree).analyze_sql()) == expected


# ---- column resolution failures ---------------------------------------------


@pytest.mark.parametrize(
    "statement, message, printed",
    [
        ({"select": {"value": "x.a"}, "from": {"value": ["t"], "name": "x"}},
         r"column 'a'.*alias 'x'.*neither a table name nor a sub-query", "a ['t']"),
        ({"select": {"value": "a"}, "from": ["t", "u"]},
         r"'a' is not qualified and is ambiguous", "['t', 'u']"),
        ({"select": {"value": "a"}, "from": {"value": "t"}}, r"'a'.*has no alias: t$", ""),
    ],
)
def test_unresolvable_columns_raise_runtime_error_naming_them(statement, message, printed, capsys):
    with pytest.raises(RuntimeError, match=message):
        Analyze(statement).analyze_sql()
    assert capsys.readouterr().out.strip() == printed


SUB_QUERY = {"select": {"value": "k"}, "from": "w"}


@pytest.mark.parametrize(
    "source, name",
    [
        ("db.t", "db.t"),
        ({"value": "db.u", "name": "x"}, "db.u AS x"),
        ({"value": "u"}, "u"),
        ({"value": SUB_QUERY, "name": "s"}, "s (sub-query)"),
        ({"value": SUB_QUERY}, "(sub-query)"),
        ({"value": {"union": [SUB_QUERY, SUB_QUERY]}, "name": "s"}, "s (sub-query)"),
        ({"value": {"unnest": "arr"}, "name": "n"}, "n (expression)"),
        ({"join": "t2", "on": {"eq": ["a", "b"]}}, "t2"),
        ({"left_outer_join": {"value": "db.v", "name": "v"}, "on": {"eq": ["a", "b"]}}, "db.v AS v"),
        ({"cross_join": {"value": SUB_QUERY, "name": "q"}}, "q (sub-query)"),
        ({"join": {"join": "t3"}}, "(expression)"),
        (SUB_QUERY, "(sub-query)"),
        (7, "(expression)"),
        (None, "(expression)"),
        (["t", "u"], "(expression)"),
    ],
)
def test_ambiguity_message_names_sources_without_their_trees(source, name, quiet_stdout):
    statement = {"select": {"value": "a"}, "from": ["t0", source]}
    with pytest.raises(RuntimeError) as raised:
        Analyze(statement).analyze_sql()
    assert str(raised.value) == (
        f"column 'a' is not qualified and is ambiguous between the FROM sources {['t0', name]!r}"
    )


@pytest.mark.parametrize("value", [1, 2.5, None, True, False, {"count": "a"}, ["a"]])
def test_selected_values_that_are_not_text_get_no_entry_and_keep_the_master(value):
    statement = {"select": [{"value": "x.a"}, {"value": value}, {"value": "b"}],
                 "from": {"value": "db.t", "name": "x"}}
    assert sorted(Analyze(statement).analyze_sql()) == [("db.t", "a", "a"), ("db.t", "b", "b")]


def test_a_statement_without_from_gives_nothing():
    assert Analyze({"select": {"value": "a"}}).analyze_sql() == []


# ---- the parse driver -------------------------------------------------------


class Canned:
    """Stands in for Analyze: returns the entries it is given."""

    entries = []

    def __init__(self, tree):
        self.tree = tree

    def analyze_sql(self):
        return self.entries


@pytest.fixture
def canned(monkeypatch):
    monkeypatch.setattr(querimo_main, "Analyze", Canned)
    return Canned


@pytest.mark.parametrize(
    "source, database, table",
    [
        ("db.orders", "db", "orders"),
        ("orders", None, "orders"),
        ("a.b.c", "a", "b"),
        (".orders", "", "orders"),
        ("db.", "db", ""),
    ],
)
def test_driver_splits_the_database_off_the_table(canned, source, database, table):
    canned.entries = [(source, "src", "tgt"), [source, "src2", "tgt"]]
    records = querimo_main.VexloParseMain()._parse_sql("select a from t")
    assert [(r.database, r.table, r.src, r.tgt) for r in records] == [
        (database, table, "src", "tgt"), (database, table, "src2", "tgt")]


@pytest.mark.parametrize(
    "entry, message",
    [
        (("t", "a"), "need more than 2 values to unpack"),
        (("t",), "need more than 1 value to unpack"),
        (("t", "a", "b", "c"), r"too many values to unpack \(expected 3\)"),
        (iter(["t", "a"]), "need more than 2 values to unpack"),
    ],
)
def test_driver_reports_entries_of_the_wrong_size(canned, entry, message):
    canned.entries = [entry]
    with pytest.raises(ValueError, match=message):
        querimo_main.VexloParseMain()._parse_sql("select a from t")


def test_driver_returns_an_empty_list_for_no_entries(canned):
    canned.entries = []
    assert querimo_main.VexloParseMain()._parse_sql("select a from t") == []

"""The analyser's normalised copy of a tree: made directly or through JSON text, the same."""

import json
import types

import pytest

import querimo_main
from support.warehouse_corpus import CASES

TREES = [
    {"select": {"value": "total amount", "name": "a b"}, "from": "my db.t"},
    {"a b": 1, "a_b": 2, "c": [1.5, None, True, False, "x y z", {"k k": ["v v"]}]},
    {"select": "*", "from": ("t", {"value": "u u", "name": "n"})},
    {"nan": float("nan"), "big": 10**30, "tab\tkey": "tab\tvalue", "ünï cödé": "\ud800 x"},
    {"select": {"value": 1}, "from": []},
]


def normalised(tree, json_module):
    analyser = querimo_main.Analyze(tree)
    original = querimo_main.json
    querimo_main.json = json_module
    try:
        analyser._check_union(0)
    finally:
        querimo_main.json = original
    return analyser.tree


def through_text():
    # A stand-in for the json module makes the analyser take the text round trip.
    return types.SimpleNamespace(dumps=json.dumps, loads=json.loads)


def same_tree(a, b):
    # repr tells lists from tuples, VexloVar from dict, and keeps the key order.
    return repr(a) == repr(b)


@pytest.mark.parametrize("tree", TREES)
def test_direct_copy_equals_the_json_round_trip(tree):
    direct = normalised(tree, json)
    text = normalised(tree, through_text())
    assert same_tree(direct, text)
    assert isinstance(direct, querimo_main.VexloVar)


@pytest.mark.parametrize("sql", [sql for sql, _ in CASES])
def test_direct_copy_equals_the_json_round_trip_on_parse_trees(sql):
    tree = querimo_main.parse(querimo_main.VexloParseMain._re_hint(sql))
    assert same_tree(normalised(tree, json), normalised(tree, through_text()))


@pytest.mark.parametrize(
    "tree, error",
    [
        ({1: "a"}, None),               # a key json turns into "1"
        ({"a": {1, 2}}, TypeError),     # not JSON at all
        ({"a": object()}, TypeError),
    ],
)
def test_trees_only_json_can_judge_take_the_json_route(tree, error):
    if error is None:
        assert same_tree(normalised(tree, json), normalised(tree, through_text()))
    else:
        with pytest.raises(error):
            normalised(tree, json)


def test_a_cycle_is_reported_as_json_reports_it():
    tree = {"select": []}
    tree["select"].append(tree)
    with pytest.raises(ValueError, match="Circular reference"):
        normalised(tree, json)


def test_the_given_tree_is_left_alone():
    tree = {"select": {"value": "a b"}, "from": ["t t"]}
    copy = normalised(tree, json)
    assert tree == {"select": {"value": "a b"}, "from": ["t t"]}
    assert copy == {"select": {"value": "a_b"}, "from": ["t_t"]}

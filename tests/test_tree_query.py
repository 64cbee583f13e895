"""The tree query VexloVar.find(path, first=0)."""

import gc
import json

import pytest
from hypothesis import given, settings, strategies as st

from vexlo_var import PathMatch, VexloVar


def tree(text):
    return json.loads(text, object_hook=VexloVar)


def found(root, path):
    return [(m.full_path, m.value) for m in root.find(path)]


# A statement with a sub-query in its FROM list, shaped like the parser's trees.
STATEMENT = tree("""
{"select": [{"value": "a.id", "name": "uid"},
            {"value": {"add": [{"value": "x"}, 1]}},
            {"value": "b.v"}],
 "from": [{"value": "db.users", "name": "a"},
          {"value": {"select": {"value": "v"},
                     "from": {"value": "db.inner", "name": "i"}},
           "name": "b"}]}
""")


@pytest.mark.parametrize(
    "path, expected",
    [
        ("$.select..value", [
            ("select[0].value", "a.id"),
            ("select[1].value", {"add": [{"value": "x"}, 1]}),
            ("select[1].value.add[0].value", "x"),
            ("select[2].value", "b.v"),
        ]),
        ("$..from", [
            ("from", STATEMENT["from"]),
            ("from[1].value.from", {"value": "db.inner", "name": "i"}),
        ]),
        # the inner alias comes once for each "from" that encloses it
        ("$..from..name", [
            ("from[0].name", "a"),
            ("from[1].name", "b"),
            ("from[1].value.from.name", "i"),
            ("from[1].value.from.name", "i"),
        ]),
        ("$.select[0].name", [("select[0].name", "uid")]),
        ("$.from[1].value.select.value", [("from[1].value.select.value", "v")]),
        ("$.from[1].value.from", [("from[1].value.from", {"value": "db.inner", "name": "i"})]),
    ],
)
def test_queries_the_analyser_makes(path, expected):
    assert found(STATEMENT, path) == expected


ORDER = tree("""
{"a": {"x": 1, "b": {"x": 2}},
 "x": {"x": 0},
 "c": [{"x": 3}, [{"d": {"x": 4}}]],
 "e": "x"}
""")


def test_descendant_order_own_member_first_then_members_in_order():
    assert found(ORDER, "$..x") == [
        ("x", {"x": 0}),   # the root's own member, although "a" comes first
        ("a.x", 1),
        ("a.b.x", 2),
        ("x.x", 0),        # then inside the matched member itself, in its turn
        ("c[0].x", 3),
        ("c[1][0].d.x", 4),
    ]


def test_later_steps_apply_to_each_earlier_match_in_order():
    root = tree('{"p": [{"q": {"r": 1}}, {"q": {"r": 2, "s": {"r": 3}}}]}')
    assert found(root, "$..q..r") == [("p[0].q.r", 1), ("p[1].q.r", 2), ("p[1].q.s.r", 3)]
    assert found(root, "$..q.r") == [("p[0].q.r", 1), ("p[1].q.r", 2)]


@pytest.mark.parametrize(
    "path, expected",
    [
        ("$", [("$", ORDER)]),
        ("", [("$", ORDER)]),
        ("$.$", [("$", ORDER)]),
        ("$.a.$.e", [("e", "x")]),            # "$" after "." is the root again
        ("$.$.a.x", [("a.x", 1)]),
        ("a.b.x", [("a.b.x", 2)]),            # no "$": relative to the root
        (".a.x", [("a.x", 1)]),
        ("..d", [("c[1][0].d", {"x": 4})]),
        ("'a'.x", [("a.x", 1)]),
        ("$.c[0]", [("c[0]", {"x": 3})]),
        ("$.c[1][0].d.x", [("c[1][0].d.x", 4)]),
        ("$.c[01].x", []),                    # position 1 is a list, not a mapping
        ("$.c[2]", []),                       # out of range
        ("$.c[99999999999999999999999]", []),
        ("$.a[0]", []),                       # a position in a mapping
        ("$.e.x", []),                        # a member of text
        ("$.e[0]", []),                       # a position in text
        ("$.missing", []),
        ("$..missing", []),
        ("$.a..y", []),
    ],
)
def test_paths(path, expected):
    assert found(ORDER, path) == expected


def test_tuples_and_plain_dicts_inside_records_are_walked():
    root = VexloVar()
    root["t"] = ({"k": 1}, [{"k": 2}])
    root["d"] = collections_ordered(k=3)
    assert found(root, "$..k") == [("t[0].k", 1), ("t[1][0].k", 2), ("d.k", 3)]
    assert root.find("$.t[1][0].k", 1) == 2


def collections_ordered(**items):
    import collections

    return collections.OrderedDict(items)


def test_keys_that_are_not_text_are_not_walked():
    root = VexloVar()
    root[1] = VexloVar(k=1)
    root["s"] = {2: {"k": 2}, "k": 3}
    assert found(root, "$..k") == [("s.k", 3)]


# --- full_path text -----------------------------------------------------------------

@pytest.mark.parametrize(
    "key, written",
    [
        ("value", "value"),
        ("_x9", "_x9"),
        ("A_b", "A_b"),
        ("a.b", "'a.b'"),
        ("a b", "'a b'"),
        ("it's", r"'it\'s'"),
        ("back\\slash", r"'back\\slash'"),
        ("'", r"'\''"),
        ("$", "'$'"),
        ("", "''"),
        ("[0]", "'[0]'"),
        ("9lives", "'9lives'"),
        ("a-b", "'a-b'"),
        ("é", "'é'"),
        ("..", "'..'"),
    ],
)
def test_full_path_writes_plain_identifiers_bare_and_quotes_the_rest(key, written):
    root = VexloVar(outer=VexloVar({key: "leaf"}), listed=[VexloVar({key: "item"})])
    assert found(root, "$.outer." + written) == [("outer." + written, "leaf")]
    matches = root.find("$.." + written)
    assert [m.full_path for m in matches] == ["outer." + written, "listed[0]." + written]
    for match in matches:
        assert root.find("$." + match.full_path, 1) is match.value
    # at the root the name has no leading "."
    top = VexloVar({key: "top"})
    assert found(top, "$.." + written) == [(written, "top")]
    assert top.find("$." + written, 1) == "top"


def test_sibling_path_by_replacing_the_trailing_key():
    # what the analyser does with a match: cut the key name off, put another on
    for match in STATEMENT.find("$..from..name"):
        path = "$." + match.full_path
        assert path.endswith("name")
        source = STATEMENT.find(path[: -len("name")] + "value", 1)
        assert source is not None


# --- first ---------------------------------------------------------------------------

@pytest.mark.parametrize("first", [1, True, "yes", 2.5])
def test_first_gives_the_node_itself(first):
    assert STATEMENT.find("$.from", first) is STATEMENT["from"]
    assert STATEMENT.find("$..name", first) == "uid"
    assert STATEMENT.find("$.from[1].value", first=first) is STATEMENT["from"][1]["value"]


@pytest.mark.parametrize("path", ["$.nothing", "$..nothing", "$.select[7]", "$.select.value"])
def test_first_gives_none_when_nothing_matches(path):
    assert STATEMENT.find(path, 1) is None


@pytest.mark.parametrize("first", [0, False, None, "", []])
def test_false_first_gives_the_list(first):
    assert found(STATEMENT, "$.select[0].name") == [("select[0].name", "uid")]
    result = STATEMENT.find("$.select[0].name", first)
    assert isinstance(result, list) and result[0].value == "uid"


def test_each_call_returns_a_new_list():
    one, two = STATEMENT.find("$..name"), STATEMENT.find("$..name")
    assert one is not two and len(one) == len(two) == 4
    one.clear()
    assert len(STATEMENT.find("$..name")) == 4


def test_first_stops_at_the_first_match():
    # a cycle after the first match would raise if the walk went on
    root = VexloVar(a=VexloVar(target=1))
    root["z"] = root
    assert root.find("$..target", 1) == 1
    with pytest.raises(RecursionError):
        root.find("$..target")


# --- errors --------------------------------------------------------------------------

@pytest.mark.parametrize(
    "path",
    [
        "$.", "$..", "$...", "$.a.", "$.a..", "$.a...b",
        "$.a[", "$.a[]", "$.a[x]", "$.a[-1]", "$.a[1", "$[",
        "$.'a", "$.'a\\", "$.'a\\n'", "$.'a'b", "$.a'b'",
        "$name", "$$", "$..$", "$.$x", "$.a]", "]", "[0", "$ .a",
    ],
)
def test_unreadable_paths_raise_value_error_naming_them(path):
    with pytest.raises(ValueError) as raised:
        STATEMENT.find(path)
    assert repr(path) in str(raised.value)
    with pytest.raises(ValueError):
        STATEMENT.find(path, 1)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, r"find\(\) missing required argument 'path'"),
        ((b"$.a",), {}, r"find\(\) argument 'path' must be str, not bytes"),
        ((None,), {}, r"find\(\) argument 'path' must be str, not NoneType"),
        (("$", 1, 2), {}, r"find\(\) takes from 1 to 2 positional arguments but 3 were given"),
        (("$",), {"path": "$"}, r"find\(\) got multiple values for argument 'path'"),
        (("$", 1), {"first": 1}, r"find\(\) got multiple values for argument 'first'"),
        (("$",), {"depth": 1}, r"find\(\) got an unexpected keyword argument 'depth'"),
    ],
)
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError, match=message):
        STATEMENT.find(*args, **kwargs)


def test_keyword_arguments():
    assert STATEMENT.find(path="$.from", first=1) is STATEMENT["from"]
    assert STATEMENT.find(first=0, path="$.select[0].name")[0].value == "uid"


def test_first_whose_truth_fails_propagates():
    class NoTruth:
        def __bool__(self):
            raise ZeroDivisionError

    with pytest.raises(ZeroDivisionError):
        STATEMENT.find("$", NoTruth())


DEPTH = 100_000


@pytest.mark.parametrize("kind", ["records", "plain-dicts", "lists"])
def test_very_deep_trees_raise_recursion_error(kind):
    node = "leaf"
    for _ in range(DEPTH):
        if kind == "records":
            node = VexloVar(x=node)
        elif kind == "plain-dicts":
            node = {"x": node}
        else:
            node = [node]
    root = VexloVar()
    root["top"] = node
    with pytest.raises(RecursionError):
        root.find("$..y")
    # a member path of that depth needs no recursion
    if kind == "records":
        assert root.find("$.top" + ".x" * DEPTH, 1) == "leaf"


def test_tree_that_changes_under_the_walk():
    # A key whose comparison empties the list being walked and the mapping holding it.
    class Meddler:
        def __init__(self, victims):
            self.victims = victims

        def __hash__(self):
            return hash("x")

        def __eq__(self, other):
            for victim in self.victims:
                victim.clear()
            return False

    items = []
    root = VexloVar(items=items)
    holders = []
    for _ in range(5):
        meddler = Meddler([items, root])
        holder = VexloVar({meddler: 1, "y": VexloVar(z=2)})
        meddler.victims.append(holder)
        holders.append(holder)
        items.append(holder)
    assert root.find("$..x") == []
    assert items == [] and root == {} and holders[0] == {}


# --- PathMatch ---------------------------------------------------------------------

def test_match_is_a_small_read_only_gc_aware_pair():
    (match,) = STATEMENT.find("$.from[0]")
    assert type(match) is PathMatch
    assert match.value is STATEMENT["from"][0] and match.full_path == "from[0]"
    assert type(match.full_path) is str
    with pytest.raises(AttributeError):
        match.value = 1
    with pytest.raises(AttributeError):
        match.full_path = "x"
    with pytest.raises(TypeError):
        PathMatch()
    assert gc.is_tracked(match)
    assert any(r is match.value for r in gc.get_referents(match))
    assert repr(match) == (
        "PathMatch(full_path='from[0]', value=VexloVar({'value': 'db.users', 'name': 'a'}))"
    )


def test_cycle_through_a_match_is_collected():
    import weakref

    class Marker:
        pass

    root = VexloVar(marker=Marker())
    alive = weakref.ref(root.marker)
    root.matches = root.find("$")  # root -> list -> match -> root
    del root
    gc.collect()
    assert alive() is None


# --- properties ---------------------------------------------------------------------

def quoted(key):
    return "'" + key.replace("\\", "\\\\").replace("'", "\\'") + "'"


keys = st.one_of(
    st.text(max_size=6),
    st.sampled_from(["value", "name", "from", "$", "", ".", "..", "[0]", "'", "\\", "a b"]),
)
leaves = st.one_of(st.none(), st.integers(), st.text(max_size=4))
trees = st.recursive(
    leaves,
    lambda children: st.one_of(
        st.lists(children, max_size=4),
        st.dictionaries(keys, children, max_size=4),
    ),
    max_leaves=30,
)


def descendants_named(node, key):
    """The values under `key` at any depth, in the query's documented order."""
    if isinstance(node, dict):
        if key in node:
            yield node[key]
        for value in node.values():
            yield from descendants_named(value, key)
    elif isinstance(node, list):
        for value in node:
            yield from descendants_named(value, key)


def all_keys(node):
    if isinstance(node, dict):
        yield from node
        for value in node.values():
            yield from all_keys(value)
    elif isinstance(node, list):
        for value in node:
            yield from all_keys(value)


@settings(max_examples=300, deadline=None)
@given(st.dictionaries(keys, trees, max_size=5))
def test_every_match_is_found_again_from_its_full_path(plain):
    root = VexloVar(plain)
    for key in set(all_keys(root)):
        matches = root.find("$.." + quoted(key))
        assert [m.value for m in matches] == list(descendants_named(root, key))
        for match in matches:
            path = match.full_path
            assert root.find("$." + path, 1) is match.value
            again = root.find("$." + path)
            assert [(m.full_path, m.value is match.value) for m in again] == [(path, True)]
            ending = key if key.isascii() and key.isidentifier() else quoted(key)
            assert path.endswith(ending)


path_text = st.one_of(
    st.text(),
    st.text(alphabet=".$[]'\\0123456789ab ", max_size=12),
)


@settings(max_examples=500, deadline=None)
@given(path_text, st.dictionaries(keys, trees, max_size=3))
def test_any_path_text_gives_a_result_or_value_error(path, plain):
    root = VexloVar(plain)
    try:
        matches = root.find(path)
    except ValueError as error:
        assert repr(path) in str(error)
        with pytest.raises(ValueError):
            root.find(path, 1)
        return
    assert isinstance(matches, list)
    assert all(type(m) is PathMatch and type(m.full_path) is str for m in matches)
    first = root.find(path, 1)
    if matches:
        assert first is matches[0].value
    else:
        assert first is None

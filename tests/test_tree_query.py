"""The tree query VexloVar.find(path, first=0)."""

import gc
import json
import sys

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


def test_walks_tuples_and_plain_dicts_but_not_keys_that_are_not_text():
    root = VexloVar()
    root["t"] = ({"k": 1}, [{"k": 2}])
    root[1] = VexloVar(k=0)  # no path can name it, so nothing under it is found
    root["d"] = {"k": 3, 2: {"k": 0}}
    assert found(root, "$..k") == [("t[0].k", 1), ("t[1][0].k", 2), ("d.k", 3)]


@pytest.mark.parametrize(
    "key, written",
    [
        ("value", "value"), ("_x9", "_x9"), ("a.b", "'a.b'"), ("a b", "'a b'"),
        ("it's", r"'it\'s'"), ("back\\slash", r"'back\\slash'"), ("$", "'$'"), ("", "''"),
        ("[0]", "'[0]'"), ("9lives", "'9lives'"), ("é", "'é'"), ("..", "'..'"),
    ],
)
def test_full_path_writes_plain_identifiers_bare_and_quotes_the_rest(key, written):
    root = VexloVar({key: "top"}, outer=VexloVar({key: "leaf"}), listed=[VexloVar({key: "item"})])
    matches = root.find("$.." + written)
    assert [m.full_path for m in matches] == [written, "outer." + written, "listed[0]." + written]
    for match in matches:
        assert root.find("$." + match.full_path, 1) is match.value


def test_sibling_path_by_replacing_the_trailing_key():
    # what the analyser does with an alias match: cut "name" off, put "value" on
    sources = [STATEMENT.find("$." + m.full_path[: -len("name")] + "value", 1)
               for m in STATEMENT.find("$..from..name")]
    assert sources[:2] == ["db.users", STATEMENT["from"][1]["value"]]
    assert sources[2:] == ["db.inner", "db.inner"]


@pytest.mark.parametrize(
    "path, node",
    [
        ("$.from", lambda: STATEMENT["from"]),
        ("$.from[1].value", lambda: STATEMENT["from"][1]["value"]),
        ("$..name", lambda: STATEMENT["select"][0]["name"]),
        ("$.nothing", lambda: None),
        ("$..nothing", lambda: None),
        ("$.select[7]", lambda: None),
        ("$.select.value", lambda: None),  # "select" is a list here
    ],
)
@pytest.mark.parametrize("first", [1, True, "yes"])
def test_first_gives_the_first_node_itself_or_none(path, node, first):
    assert STATEMENT.find(path, first) is node()
    assert STATEMENT.find(path=path, first=first) is node()


@pytest.mark.parametrize("first", [0, False, None, ""])
def test_false_first_gives_the_list(first):
    result = STATEMENT.find("$.select[0].name", first)
    assert [(m.full_path, m.value) for m in result] == [("select[0].name", "uid")]


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


DEPTH = 100_000


@pytest.mark.parametrize("kind", ["records", "plain-dicts", "lists"])
def test_very_deep_trees_raise_recursion_error(kind):
    wrap = {"records": lambda n: VexloVar(x=n), "plain-dicts": lambda n: {"x": n}, "lists": lambda n: [n]}
    node = "leaf"
    for _ in range(DEPTH):
        node = wrap[kind](node)
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
    assert type(match) is PathMatch and match.value is STATEMENT["from"][0]
    assert repr(match) == (
        "PathMatch(full_path='from[0]', value=VexloVar({'value': 'db.users', 'name': 'a'}))")
    for name in ("value", "full_path"):
        with pytest.raises(AttributeError):
            setattr(match, name, 1)
    with pytest.raises(TypeError):
        PathMatch()
    assert gc.is_tracked(match) and match.value in gc.get_referents(match)


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


# --- leaks --------------------------------------------------------------------------

def allocated_during(action, calls):
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(calls):
        action()
    gc.collect()
    return sys.getallocatedblocks() - before


def raising(error, action):
    def run():
        with pytest.raises(error):
            action()
    return run


@pytest.mark.parametrize(
    "action, calls",
    [
        (lambda: json.loads('{"a": [{"b": {"c": "d"}}], "e": {}}', object_hook=VexloVar), 1000),
        (lambda: VexloVar({"a": {"b": 1}}, c={"d": [1]}).add(e={"f": 2}), 1000),
        (lambda: STATEMENT.find("$..from..name"), 1000),
        (lambda: STATEMENT.find("$.from[1].value.from.'name'", 1), 1000),
        (raising(ValueError, lambda: STATEMENT.find("$.from.'unterminated")), 1000),
        (raising(TypeError, lambda: STATEMENT.find("$", nope=1)), 1000),
        (raising(AttributeError, lambda: delattr(VexloVar(), "missing")), 1000),
        # thousands of levels unwind per call, so a few calls show a leak
        (raising(RecursionError, lambda: VexloVar(f=CYCLIC)), 20),
    ],
    ids=["object-hook", "convert", "find", "find-first", "bad-path", "bad-keyword",
         "bad-delete", "recursion"],
)
def test_no_leaks(action, calls):
    # fresh objects each call; one leaked object per call shows as a growth near N
    allocated_during(action, 200)
    assert allocated_during(action, calls) < 100


CYCLIC = {}
CYCLIC["self"] = CYCLIC


def test_find_keeps_reference_counts_of_the_tree():
    nodes = STATEMENT["from"], STATEMENT["from"][0]["name"], STATEMENT["from"][1]["value"]
    before = [sys.getrefcount(n) for n in nodes]
    for _ in range(100):
        STATEMENT.find("$.from", 1)
        STATEMENT.find("$..from..name")
        STATEMENT.find("$..from")
        STATEMENT.find("$.from[1].value.from.nothing")
    assert [sys.getrefcount(n) for n in nodes] == before


# --- paths read once ----------------------------------------------------------------

class LoudPath(str):
    """A path whose equality, hash and repr are its own: find reads its text alone."""

    def __eq__(self, other):
        raise AssertionError("find compared a path")

    def __hash__(self):
        raise AssertionError("find hashed a path")

    def __repr__(self):
        return "<loud path>"


@pytest.mark.parametrize(
    "make",
    [lambda text: text, lambda text: "".join(list(text)), LoudPath],
    ids=["same object", "equal new str", "str subclass"],
)
@pytest.mark.parametrize("path", ["$..from..name", "$.from[1].value.from", "$.select[0].'name'"])
def test_a_path_seen_before_gives_the_same_answers(make, path):
    expected = found(STATEMENT, path), STATEMENT.find(path, 1)
    for _ in range(3):
        assert (found(STATEMENT, make(path)), STATEMENT.find(make(path), 1)) == expected


@pytest.mark.parametrize("make", [str, LoudPath], ids=["str", "str subclass"])
def test_an_unreadable_path_raises_every_time(make):
    path = make("$.from.'unterminated")
    messages = set()
    for _ in range(3):
        with pytest.raises(ValueError) as raised:
            STATEMENT.find(path)
        messages.add(str(raised.value))
    assert messages == {f"cannot read path {path!r}: unterminated quoted name at position 7"}


def test_a_find_inside_the_walk_may_push_out_the_path_being_walked():
    class Meddler:
        # Compared with "from" when the dict holding both looks it up (equal hashes).
        def __hash__(self):
            return hash("from")

        def __eq__(self, other):
            for i in range(2000):
                STATEMENT.find(f"$.select[{i}].value", 1)
            return False

    root = VexloVar({"x": {Meddler(): 0, "from": {"y": [5, {"z": 6}]}}})
    path = "".join(["$.x.from.y[1]", "..z"])
    assert found(root, path) == [("x.from.y[1].z", 6)]
    assert root.find("".join(["$.x.from.y[0]"]), 1) == 5


def test_many_distinct_paths_keep_memory_bounded():
    from support.leakcheck import assert_no_leak

    assert_no_leak(lambda i: STATEMENT.find(f"$.from[{i}].value.'k{i}'"), calls=1000)
    assert_no_leak(lambda i: STATEMENT.find(f"$.select[{i % 3}]..x{i}", 1), calls=1000)

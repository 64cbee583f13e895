"""Inputs no caller should send: very deep, very large, odd characters, wrong
types. Each must end in a result or a clear Python exception; the deepest ones run
in a child process, so that a crash fails the test instead of killing the run."""

import contextlib
import json
import threading

import pytest

from querimo_main import Analyze, VexloParseMain
from vexlo_var import VexloVar

from support.subprocess_python import run_python

V, A = VexloParseMain, Analyze

TREE = {"select": [{"value": "t.id", "name": "uid"}, {"value": "s.x"}],
        "from": [{"value": "db.users", "name": "t"},
                 {"join": {"name": "s", "value": {"select": {"value": "a.x"},
                                                  "from": {"value": "db.o", "name": "a"}}}}]}


pytestmark = pytest.mark.usefixtures("quiet_stdout")


def outcome(call):
    """"result" or the exception's class. A SystemError means our code broke, and
    fails the test."""
    try:
        call()
    except SystemError:
        raise
    except Exception as exc:
        return type(exc)
    return "result"


def lineage(sql):
    return {(r.database, r.table, r.src, r.tgt) for r in V()._parse_sql(sql)}


def nested_subqueries(depth):
    sql = "select a from db.t"
    for level in range(depth):
        sql = f"select s{level}.a from ({sql}) s{level}"
    return sql


# ---- wrong types everywhere ------------------------------------------------------

HOSTILE = [None, b"select a from t", 7, ["select"], 1.5, {"select": 1}, "\x00", "\ud800"]


def plain_arguments():
    """A workable value for every parameter name the methods use."""
    analyzer = A(json.loads(json.dumps(TREE), object_hook=VexloVar))
    analyzer.analyze_sql()
    return {"self": analyzer, "tree": VexloVar(TREE), "level": 0, "column": "uid",
            "select_value_list": [], "master": None, "full_path": "select[0].value",
            "one": "value", "other": "name", "sql": "select a from t"}


def methods():
    for cls in (V, A):
        for name, member in vars(cls).items():
            function = getattr(member, "__func__", member)
            if isinstance(function, type(A.analyze_sql)):
                params = function.__doc__[function.__doc__.index("(") + 1:-1].split(", ")
                yield cls, name, [p.split("=")[0] for p in params]


CASES = [(cls, name, params, place)
         for cls, name, params in methods() for place in range(len(params))]


@pytest.mark.parametrize("cls, name, params, place", CASES,
                         ids=[f"{c.__name__}.{n}-{p[i]}" for c, n, p, i in CASES])
def test_wrong_types_for_every_parameter(cls, name, params, place):
    function = getattr(cls, name)
    for value in HOSTILE:
        args = plain_arguments()
        if cls is V and "self" in params:
            args["self"] = V()
        args[params[place]] = value
        positional = [args[p] for p in params]
        # Both call routes: positions and keywords; the same outcome on both.
        by_position = outcome(lambda: function(*positional))
        assert outcome(lambda: function(**{p: args[p] for p in params})) == by_position


@pytest.mark.parametrize("value", HOSTILE, ids=repr)
def test_wrong_types_for_records_and_find(value):
    record = VexloVar(TREE)
    for call in [lambda: VexloVar(value), lambda: VexloVar(x=value), lambda: record.add(x=value),
                 lambda: record.find(value), lambda: record.find("$..name", value),
                 lambda: record.find(path=value), lambda: setattr(record, "x", value),
                 lambda: VexloVar.__init__(record, value)]:
        assert outcome(call) != SystemError


@pytest.mark.parametrize("name", [1, None, b"x", ("a",)], ids=repr)
def test_attribute_names_that_are_not_text(name):
    # The slot wrappers hand any object on as the attribute name.
    record = VexloVar(x=1)
    for call in [lambda: VexloVar.__setattr__(record, name, 2),
                 lambda: VexloVar.__setattr__(record, name, {"nested": 1}),
                 lambda: VexloVar.__delattr__(record, name),
                 lambda: VexloVar.__getattribute__(record, name)]:
        with pytest.raises(TypeError, match="attribute name must be string"):
            call()
    assert record == {"x": 1}


# ---- odd characters ------------------------------------------------------------------

ODD_TEXTS = ["select a\x00b from t", "select '\x00' as a from t", "select \ud800 from t",
             "select '\udfff\ud800' as x from t", "select a from t\x00", "\x00", "\ud800",
             "select /* \ud800 */ a -- \x00\nfrom t", "select a from \U0010ffff"]


@pytest.mark.parametrize("sql", ODD_TEXTS, ids=ascii)
def test_odd_characters_through_the_parser(sql):
    assert outcome(lambda: V._re_hint(sql)) == "result"
    outcome(lambda: V()._parse_sql(sql))


@pytest.mark.parametrize("text", ["a\x00b", "\ud800", "\udfff.x", "s\x00.*", "\U0010ffff.\ud800"],
                         ids=ascii)
def test_odd_characters_in_trees(text):
    tree = {"select": [{"value": text, "name": text}, {"value": f"s.{text}"}],
            "from": [{"value": text, "name": "s"}, {"join": {"value": "db.u", "name": text}}]}
    assert outcome(lambda: A(tree).analyze_sql()) in ("result", RuntimeError)
    # Keys with odd characters are written quoted in a full path and read back.
    odd = VexloVar({text: {"name": 1}, "x": [{text: {"name": 2}}]})
    matches = odd.find("$..name")
    assert [m.value for m in matches] == [1, 2]
    for match in matches:
        assert odd.find("$." + match.full_path, 1) == match.value


# ---- large inputs ---------------------------------------------------------------------


def test_a_one_megabyte_statement():
    literal = "select '" + "x" * 1_000_000 + "' as a, b from db.t"
    assert lineage(literal) == {("db", "t", "b", "b")}
    comment = "select a /*" + "x\n" * 500_000 + "*/ from t -- " + "y" * 1000
    assert lineage(comment) == {(None, "t", "a", "a")}


def test_one_huge_identifier():
    name = "c" * 1_000_000
    assert lineage(f"select {name} from t") == {(None, "t", name, name)}
    assert lineage(f"select t.{name} as x from db.t t") == {("db", "t", name, "x")}


def test_a_hundred_thousand_select_items():
    items = [{"value": f"t.c{i}", "name": f"o{i}"} for i in range(100_000)]
    got = A({"select": items, "from": {"value": "db.t", "name": "t"}}).analyze_sql()
    assert sorted(got) == sorted(("db.t", f"c{i}", f"o{i}") for i in range(100_000))


def test_many_select_items_through_the_parser():
    sql = "select " + ", ".join(f"c{i}" for i in range(2000)) + " from t"
    assert lineage(sql) == {(None, "t", f"c{i}", f"c{i}") for i in range(2000)}


# ---- depth -----------------------------------------------------------------------------


@pytest.mark.parametrize("depth", [1, 10, 25])
def test_nested_subqueries_the_parser_reads(depth):
    assert lineage(nested_subqueries(depth)) == {("db", "t", "a", "a")}


def test_nested_subqueries_beyond_the_parser():
    # The parser gives up with its own exception; nothing of ours breaks.
    assert outcome(lambda: V()._parse_sql(nested_subqueries(300))) != "result"


@pytest.mark.parametrize("depth", [30, 60])
def test_hand_built_nested_subqueries(depth):
    tree = {"select": {"value": "a"}, "from": "db.t"}
    for level in range(depth):
        tree = {"select": {"value": f"s{level}.a"}, "from": {"value": tree, "name": f"s{level}"}}
    assert A(tree).analyze_sql() == [("db.t", "a", "a")]


# Each case builds a tree thousands of levels deep in the child and reports what
# analysing it (and querying it) gave: a result or the exception's class name.
DEEP = """
import contextlib, io, sys
from querimo_main import Analyze
from vexlo_var import VexloVar

def nest(depth, wrap, leaf):
    for _ in range(depth):
        leaf = wrap(leaf)
    return leaf

def subqueries(alias):
    return lambda n: nest(n, lambda x: {{"select": {{"value": "a"}}, "from": {{"value": x, **alias}}}},
                          {{"select": {{"value": "a"}}, "from": "t"}})

SHAPES = {{
    "select values": lambda n: {{"select": nest(n, lambda x: {{"value": x}}, "a"), "from": "t"}},
    "from values": lambda n: {{"select": {{"value": "a"}}, "from": nest(n, lambda x: {{"value": x}}, "t")}},
    "lists": lambda n: {{"select": {{"value": "a"}}, "from": nest(n, lambda x: [x, "u"], "t")}},
    "unions": lambda n: nest(n, lambda x: {{"union": [x, {{"select": {{"value": "b"}}, "from": "u"}}]}},
                             {{"select": {{"value": "a"}}, "from": "t"}}),
    "joins": lambda n: {{"select": {{"value": "a"}},
                        "from": nest(n, lambda x: {{"join": x, "on": {{"eq": ["a", "b"]}}}}, "t")}},
}}
# Sub-queries deeper than the normalisation's JSON text can be written.
if {depth} > 10_000:
    SHAPES["unaliased sub-queries"] = subqueries({{}})
    SHAPES["aliased sub-queries"] = subqueries({{"name": "s"}})
    SHAPES["records"] = lambda n: nest(
        n, lambda x: VexloVar(select={{"value": "s.a"}}, **{{"from": {{"value": x, "name": "s"}}}}),
        VexloVar(select={{"value": "a"}}, **{{"from": "t"}}))

def outcome(call):
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            call()
    except SystemError as exc:
        return "SystemError: " + str(exc)
    except Exception as exc:
        return type(exc).__name__
    return "result"

got = {{}}
for name, make in SHAPES.items():
    tree = make({depth})
    got[name] = [outcome(lambda: Analyze(tree).analyze_sql()),
                 outcome(lambda: VexloVar(tree)),
                 outcome(lambda: VexloVar(tree).find("$..from..name")),
                 outcome(lambda: VexloVar(tree).find("$..value", 1))]
    del tree
report(got)
"""


@pytest.mark.parametrize("depth", [3_000, 20_000])
def test_hand_built_trees_thousands_deep(depth):
    got, errors = run_python(DEEP.format(depth=depth), timeout=600, with_stderr=True)
    assert errors == ""
    for shape, outcomes in got.items():
        for result in outcomes:
            assert result in ("result", "RecursionError", "RuntimeError"), (shape, result)


# Recursion in our own code watches the native stack, so a thread with a small
# stack ends in RecursionError too, where the interpreter's count alone would run
# off the end of it. (The interpreter's own json encoder has no such check: a tree
# this deep crashes json.dumps itself on such a thread.)
SMALL_STACK = """
import threading
from querimo_main import Analyze
from vexlo_var import VexloVar

def plain(depth):
    tree = "t"
    for _ in range(depth):
        tree = {{"from": {{"value": tree, "name": "s"}}}}
    return tree

def records(depth):
    # Linked without conversion, which would itself recurse.
    root = node = VexloVar()
    for _ in range(depth):
        child = VexloVar()
        dict.__setitem__(node, "from", VexloVar(value=child, name="s"))
        node = child
    return root

deep_plain, deep_records = plain(8000), records(8000)
small = VexloVar(plain(20))
got = {{}}

def work():
    for name, call in [("convert", lambda: VexloVar(deep_plain)),
                       ("analyse", lambda: Analyze({{"select": {{"value": "a"}}, "from": deep_plain}}).analyze_sql()),
                       ("find", lambda: deep_records.find("$..from..name")),
                       ("first", lambda: deep_records.find("$..nothing", 1)),
                       ("shallow", lambda: (VexloVar(plain(20)), small.find("$..from..name")))]:
        try:
            call()
            got[name] = "result"
        except Exception as exc:
            got[name] = type(exc).__name__

threading.stack_size({stack})
thread = threading.Thread(target=work)
thread.start()
thread.join()
report(got)
"""


@pytest.mark.parametrize("stack", [512 * 1024, 2 * 1024 * 1024])
def test_small_thread_stacks_end_in_recursion_error(stack):
    got, errors = run_python(SMALL_STACK.format(stack=stack), with_stderr=True)
    assert errors == ""
    assert got == {"convert": "RecursionError", "analyse": "RecursionError", "find": "RecursionError",
                   "first": "RecursionError", "shallow": "result"}


# ---- threads ----------------------------------------------------------------------------

STATEMENTS = (
    [f"select t.c{i} as o{i}, s.x{i} from db{i}.tab{i} t "
     f"join (select a.x{i} from d.o{i} a) s on t.id = s.x{i}" for i in range(24)]
    + [f"select a{i}, b from t{i} union all select c, d{i} from db.u{i}" for i in range(8)]
    + [f"select s.* from (select q{i}, r as w{i} from db.z{i}) s" for i in range(8)]
    + [f"select a{i} from t join u on t.id = u.id" for i in range(4)] + ["select from where"]
)


def analysed(sql):
    try:
        return sorted((r.database, r.table, r.src, r.tgt) for r in V()._parse_sql(sql))
    except Exception as exc:
        return type(exc).__name__


def test_many_threads_get_the_results_of_one():
    expected = [analysed(sql) for sql in STATEMENTS]
    threads = 8
    start = threading.Barrier(threads)
    seen = [None] * threads

    def work(k):
        # Each thread starts at a different statement, so different statements
        # are parsed at the same moment.
        order = list(range(len(STATEMENTS)))
        order = order[k * 5:] + order[:k * 5]
        start.wait()
        got = {}
        for _ in range(2):
            for i in order:
                got.setdefault(i, []).append(analysed(STATEMENTS[i]))
        seen[k] = got

    workers = [threading.Thread(target=work, args=(k,)) for k in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    for got in seen:
        assert {i: results for i, results in got.items()} == {
            i: [expected[i]] * 2 for i in range(len(STATEMENTS))}

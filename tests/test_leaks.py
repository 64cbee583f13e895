"""No memory or references kept by any public operation, on its success and its
error paths: block counts over two phases of calls, tracemalloc totals over
10,000 calls, and reference counts of the long-lived objects every call touches."""

import copy
import gc
import json
import sys

import pytest

import querimo_main
import vexlo_var
from querimo_main import Analyze, VexloParseMain
from vexlo_var import VexloVar

from support.leakcheck import assert_no_leak, assert_no_traced_growth, raising

V, A = VexloParseMain, Analyze

# The parser's tree for
#   select t.id as uid, s.x, s.* from db.users t
#   join (select a.x, b from db.o a) s on t.id = s.x
TREE = {
    "select": [{"value": "t.id", "name": "uid"}, {"value": "s.x"}, {"value": "s.*"}],
    "from": [{"value": "db.users", "name": "t"},
             {"join": {"name": "s", "value": {"select": [{"value": "a.x"}, {"value": "b"}],
                                              "from": {"value": "db.o", "name": "a"}}},
              "on": {"eq": ["t.id", "s.x"]}}],
}
UNION = {"union_all": [{"select": {"value": "a"}, "from": "t"},
                       {"select": {"value": "u.b", "name": "c"}, "from": {"value": "db.u", "name": "u"}}],
         "orderby": {"value": 1}}
# Trees on the analyser's failure paths.
SOURCE_NEITHER_TABLE_NOR_QUERY = {"select": {"value": "t.a"}, "from": {"value": ["x"], "name": "t"}}
AMBIGUOUS = {"select": {"value": "a"}, "from": ["t", "u"]}
UNALIASED_NON_QUERY = {"select": {"value": "a"}, "from": {"value": 5}}
# x hands the column to y, whose sub-query hands it back to x, without a table.
PING_PONG = {"select": {"value": "x.a"},
             "from": [{"value": {"select": {"value": "y.a"}, "from": "t"}, "name": "x"},
                      {"join": {"name": "y", "value": {"select": {"value": "x.a"}, "from": "u"}}}]}


pytestmark = pytest.mark.usefixtures("quiet_stdout")


@pytest.fixture
def stub_parser(monkeypatch):
    """`parse` replaced by a fresh copy of TREE, so the driver runs at full speed."""
    monkeypatch.setattr(querimo_main, "parse", lambda text: copy.deepcopy(TREE))


def fresh(tree, i):
    # A new tree each call, differing in one alias, so no call reuses another's objects.
    return json.loads(json.dumps(tree).replace('"uid"', f'"uid{i}"'))


def direct(function, *args, **kwargs):
    # type(f).__call__: the tuple-and-dict route instead of vectorcall.
    return type(function).__call__(function, *args, **kwargs)


# Each operation gets the call's index and builds its own arguments from it.
OPERATIONS = {
    "construct front end": lambda i: V(),
    "re_hint on the class": lambda i: V._re_hint(f"select {i} /* c */ -- d\n\nfrom t"),
    "re_hint on an instance": lambda i: V()._re_hint(sql=f"select '{i}' from t"),
    "re_hint non-str": raising(TypeError, lambda i: V._re_hint(i)),
    "re_hint not iterable": raising(TypeError, lambda i: V._re_hint(float(i))),
    "analyze": lambda i: A(fresh(TREE, i)).analyze_sql(),
    "analyze twice": lambda i: (lambda a: (a.analyze_sql(), a.analyze_sql(level=i)))(A(fresh(TREE, i))),
    "analyze a union": lambda i: A(fresh(UNION, i)).analyze_sql(),
    "analyze a record tree": lambda i: A(json.loads(json.dumps(TREE), object_hook=VexloVar)).analyze_sql(i),
    "search other": lambda i: A._one_search_other(VexloVar(TREE), f"select[{i % 3}].value", "value", "name"),
    "replace other": lambda i: (lambda a: a._one_replace_other(f"select{i}.one", "x", "from"))(A(VexloVar(TREE))),
    "tree not json": raising(TypeError, lambda i: A({"select": {i}}).analyze_sql()),
    "tree without keys": raising(AttributeError, lambda i: A([i]).analyze_sql()),
    "source neither table nor query": raising(RuntimeError, lambda i: A(fresh(SOURCE_NEITHER_TABLE_NOR_QUERY, i)).analyze_sql()),
    "ambiguous column": raising(RuntimeError, lambda i: A(fresh(AMBIGUOUS, i)).analyze_sql()),
    "unaliased non-query": raising(RuntimeError, lambda i: A(fresh(UNALIASED_NON_QUERY, i)).analyze_sql()),
    "method without self state": raising(AttributeError, lambda i: A._analyze_from_value(object(), {}, i)),
    "too few arguments": raising(TypeError, lambda i: A._analyze_column(object(), {})),
    "too many arguments": raising(TypeError, lambda i: A.analyze_sql(object(), i, i)),
    "too many arguments, tp_call": raising(TypeError, lambda i: direct(A.analyze_sql, object(), i, i)),
    "missing keyword": raising(TypeError, lambda i: V._parse_sql(sql=str(i))),
    "unexpected keyword": raising(TypeError, lambda i: V._re_hint(sql="x", **{f"k{i}": i})),
    "repeated keyword": raising(TypeError, lambda i: V._parse_sql(V(), str(i), sql=str(i))),
    "keyword not str, tp_call": raising(TypeError, lambda i: direct(V._re_hint, "x", **{(i,): i})),
    "record": lambda i: VexloVar({"a": {"b": [i]}}, c={"d": i}).add(e={"f": i}),
    "record attributes": lambda i: (lambda r: (setattr(r, "x", {"y": i}), r.x.y, r.missing, delattr(r, "x")))(VexloVar()),
    "record bad delete": raising(AttributeError, lambda i: delattr(VexloVar(), f"m{i}")),
    "record too many arguments": raising(TypeError, lambda i: VexloVar({}, {i: i})),
    "find": lambda i: VexloVar(TREE).find("$..from..name"),
    "find first": lambda i: VexloVar(TREE).find(f"$.select[{i % 3}].value", 1),
    "find bad path": raising(ValueError, lambda i: VexloVar(TREE).find(f"$.'{i}")),
    "find path not str": raising(TypeError, lambda i: VexloVar().find(i)),
    "find bad keyword": raising(TypeError, lambda i: VexloVar().find("$", **{f"k{i}": 1})),
}


@pytest.mark.parametrize("operation", OPERATIONS.values(), ids=OPERATIONS.keys())
def test_no_blocks_kept(operation):
    assert_no_leak(operation, calls=1000)


def text(sql):
    # The same statement as a new str object each call: the parser keeps per-text
    # state that settles only after many distinct texts.
    return "".join(list(sql))


PARSE_OPERATIONS = {
    "parse_sql": lambda i: V()._parse_sql(text("select t.id as c, s.* from db.u t join (select a from v) s on t.id = s.a")),
    "analyser error": raising(RuntimeError, lambda i: V()._parse_sql(text("select a from t join u on t.id = u.id"))),
    "parse error": raising(Exception, lambda i: V()._parse_sql(text("select from where"))),
    "parse_sql non-str": raising(TypeError, lambda i: V()._parse_sql(i)),
}


@pytest.mark.parametrize("operation", PARSE_OPERATIONS.values(), ids=PARSE_OPERATIONS.keys())
def test_no_blocks_kept_through_the_parser(operation):
    # The real parser costs milliseconds a call, and its own state settles only
    # after some hundreds of statements: a long warm-up, then 100 calls, which
    # still show one object kept a call.
    assert_no_leak(operation, calls=100, warmup=400)


DRIVER_ROUTES = {
    "method": lambda i: V()._parse_sql(f"select {i}"),
    "keywords": lambda i: V._parse_sql(self=V(), sql=f"select {i}"),
    "tp_call": lambda i: direct(V._parse_sql, V(), sql=f"select {i}"),
}


@pytest.mark.parametrize("route", DRIVER_ROUTES.values(), ids=DRIVER_ROUTES.keys())
def test_no_blocks_kept_by_the_driver(stub_parser, route):
    assert_no_leak(route, calls=1000)


def test_no_blocks_kept_on_recursion_errors():
    # Each call unwinds thousands of levels, so anything kept on the way back shows
    # in a few calls.
    assert_no_leak(raising(RecursionError, lambda i: A(fresh(PING_PONG, i)).analyze_sql()),
                   calls=20, warmup=10, limit=40)


TRACED = {
    "re_hint": OPERATIONS["re_hint on the class"],
    "analyze": OPERATIONS["analyze"],
    "analyser error": OPERATIONS["ambiguous column"],
    "argument error": OPERATIONS["unexpected keyword"],
    "find": OPERATIONS["find"],
    "record": OPERATIONS["record"],
}


@pytest.mark.parametrize("operation", TRACED.values(), ids=TRACED.keys())
def test_no_traced_growth_over_ten_thousand_calls(operation):
    assert_no_traced_growth(operation, calls=10_000)


def test_no_traced_growth_of_the_driver(stub_parser):
    assert_no_traced_growth(lambda i: V()._parse_sql(f"select {i}"), calls=10_000)


# ---- reference counts of long-lived objects ------------------------------------


def long_lived():
    """Objects every call touches and nothing should keep: the functions, the
    classes, the module and its globals."""
    objects = {name: getattr(querimo_main, name)
               for name in ("VexloParseMain", "Analyze", "VexloVar", "parse", "json", "re")}
    objects["querimo_main"] = querimo_main
    objects["vexlo_var"] = vexlo_var
    objects["PathMatch"] = vexlo_var.PathMatch
    for cls in (V, A):
        for name, member in vars(cls).items():
            if isinstance(member, (staticmethod, type(A.analyze_sql))):
                objects[f"{cls.__name__}.{name}"] = member
    return objects


def test_long_lived_objects_keep_their_reference_counts():
    tree = json.loads(json.dumps(TREE))
    front = V()
    analyzer = A(tree)
    held = {**long_lived(), "tree": tree, "front end": front, "analyzer": analyzer}

    def traffic():
        for operation in [*OPERATIONS.values(), *PARSE_OPERATIONS.values()]:
            operation(7)
        analyzer.analyze_sql()
        front._parse_sql("select a from t")

    def counts():
        # Tracebacks of the errors above hold frames, and frames their functions,
        # until the collector breaks their cycles.
        gc.collect()
        return {name: sys.getrefcount(obj) for name, obj in held.items()}

    traffic()  # caches and interned names settle
    before = counts()
    for _ in range(3):
        traffic()
    after = counts()
    assert after == before


@pytest.mark.parametrize("error", [RuntimeError, RecursionError, TypeError])
def test_an_analyser_failure_keeps_no_reference_to_the_tree_or_self(error):
    tree = {RuntimeError: AMBIGUOUS, RecursionError: PING_PONG, TypeError: {"select": {1}}}[error]
    tree = copy.deepcopy(tree)
    analyzer = A(tree)
    # The first call replaces the analyser's tree by its own copy.
    with pytest.raises(error):
        analyzer.analyze_sql()
    gc.collect()
    before = sys.getrefcount(tree), sys.getrefcount(analyzer)
    for _ in range(3):
        with pytest.raises(error):
            analyzer.analyze_sql()
    gc.collect()
    assert (sys.getrefcount(tree), sys.getrefcount(analyzer)) == before


@pytest.mark.parametrize("check", [
    lambda fn: assert_no_leak(fn, calls=1000),
    lambda fn: assert_no_traced_growth(fn, calls=10_000),
], ids=["blocks", "traced"])
def test_the_checks_see_one_object_kept_a_call(check):
    kept = []
    with pytest.raises(AssertionError):
        check(lambda i: kept.append(f"kept {i}"))

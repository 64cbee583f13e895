"""The argument rules every method shares: counts, keywords, defaults and their
messages, by every call route (plain function, bound method, method call, tp_call)."""

import gc
import sys

import pytest

from querimo_main import Analyze, VexloParseMain

V, A = VexloParseMain, Analyze
OBJ = object()


def count_message(name, qualifier, expected, given):
    plural = "" if expected == 1 else "s"
    return f"{name}() takes {qualifier} {expected} positional argument{plural} ({given} given)"


def raises_type_error(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


@pytest.mark.parametrize("call, message", [
    # Too many or too few positionals, without keywords.
    (lambda: V._parse_sql(OBJ), count_message("_parse_sql", "exactly", 2, 1)),
    (lambda: V._parse_sql(OBJ, "a", "b"), count_message("_parse_sql", "exactly", 2, 3)),
    (lambda: V._parse_sql(), count_message("_parse_sql", "exactly", 2, 0)),
    (lambda: V(1), count_message("__init__", "exactly", 1, 2)),
    (lambda: V.__init__(), count_message("__init__", "exactly", 1, 0)),
    (lambda: V._re_hint(), count_message("_re_hint", "exactly", 1, 0)),
    (lambda: V._re_hint("a", "b"), count_message("_re_hint", "exactly", 1, 2)),
    (lambda: A(), count_message("__init__", "exactly", 2, 1)),
    (lambda: A(1, 2), count_message("__init__", "exactly", 2, 3)),
    (lambda: A.analyze_sql(OBJ, 1, 2), count_message("analyze_sql", "at most", 2, 3)),
    (lambda: A.analyze_sql(), count_message("analyze_sql", "at least", 1, 0)),
    (lambda: A._analyze_select_value(OBJ, 1), count_message("_analyze_select_value", "at least", 4, 2)),
    (lambda: A._analyze_select_value(OBJ, 1, 2, 3, 4, 5),
     count_message("_analyze_select_value", "at most", 5, 6)),
    (lambda: A._one_search_other(1, 2, 3), count_message("_one_search_other", "exactly", 4, 3)),
    (lambda: A._one_search_other(1, 2, 3, 4, 5), count_message("_one_search_other", "exactly", 4, 5)),
    (lambda: A._check_union(OBJ), count_message("_check_union", "exactly", 2, 1)),
    # Too many positionals is reported even when keywords are passed too.
    (lambda: V._parse_sql(OBJ, "a", "b", sql="c"), count_message("_parse_sql", "exactly", 2, 3)),
    # With keywords, the last field is the place of the first missing parameter.
    (lambda: V._parse_sql(self=OBJ), count_message("_parse_sql", "exactly", 2, 1)),
    (lambda: V._parse_sql(sql="x"), count_message("_parse_sql", "exactly", 2, 0)),
    (lambda: V._re_hint(extra=1), count_message("_re_hint", "exactly", 1, 0)),
    (lambda: A._analyze_column(OBJ, tree=1, level=3), count_message("_analyze_column", "exactly", 4, 2)),
    (lambda: A._analyze_column(OBJ, tree=1, column=2), count_message("_analyze_column", "exactly", 4, 3)),
    (lambda: A._analyze_select_value(OBJ, 1, level=2, master=None),
     count_message("_analyze_select_value", "at least", 4, 2)),
    (lambda: A.analyze_sql(level=1), count_message("analyze_sql", "at least", 1, 0)),
    # A missing parameter is reported before a stray keyword.
    (lambda: V._parse_sql(OBJ, bogus=1), count_message("_parse_sql", "exactly", 2, 1)),
    # Remaining keywords, the first one in call order decides.
    (lambda: V._re_hint(sql="x", extra=1), "_re_hint() got an unexpected keyword argument 'extra'"),
    (lambda: V._re_hint(sql="x", b=1, a=2), "_re_hint() got an unexpected keyword argument 'b'"),
    (lambda: V._parse_sql(OBJ, "x", sql="y"),
     "_parse_sql() got multiple values for keyword argument 'sql'"),
    (lambda: V._parse_sql(OBJ, "x", self=OBJ),
     "_parse_sql() got multiple values for keyword argument 'self'"),
    (lambda: V._parse_sql(OBJ, "x", zz=1, self=OBJ),
     "_parse_sql() got an unexpected keyword argument 'zz'"),
    (lambda: A._one_search_other(1, 2, 3, other=4, one=5),
     "_one_search_other() got multiple values for keyword argument 'one'"),
    (lambda: A._analyze_column(OBJ, 1, 2, 3, tree=9),
     "_analyze_column() got multiple values for keyword argument 'tree'"),
    (lambda: A.analyze_sql(OBJ, 0, Level=1), "analyze_sql() got an unexpected keyword argument 'Level'"),
], ids=lambda value: value if isinstance(value, str) else "")
def test_argument_errors(call, message):
    raises_type_error(call, message)


# The instance counts as the first positional argument on every bound route.
@pytest.mark.parametrize("route", ["method call", "bound method", "descriptor"])
@pytest.mark.parametrize("args, kwargs, message", [
    ((1, 2), {}, count_message("analyze_sql", "at most", 2, 3)),
    ((), {"self": OBJ}, "analyze_sql() got multiple values for keyword argument 'self'"),
    ((), {"levl": 0}, "analyze_sql() got an unexpected keyword argument 'levl'"),
])
def test_bound_routes_count_the_instance(route, args, kwargs, message):
    analyser = object.__new__(A)
    if route == "method call":
        call = lambda: analyser.analyze_sql(*args, **kwargs)  # noqa: E731
    elif route == "bound method":
        bound = analyser.analyze_sql
        call = lambda: bound(*args, **kwargs)  # noqa: E731
    else:
        bound = A.__dict__["analyze_sql"].__get__(analyser, A)
        call = lambda: bound(*args, **kwargs)  # noqa: E731
    raises_type_error(call, message)


# The type's tp_call, reached without vectorcall. It must be called directly (not
# from a Python helper) for keywords that are not strings to reach it.
direct_call = type(V.__init__).__call__


@pytest.mark.parametrize("call, message", [
    (lambda: direct_call(V.__init__, OBJ, **{1: 2}), "__init__() keywords must be strings"),
    (lambda: direct_call(V._re_hint, "x", **{("sql",): 1}), "_re_hint() keywords must be strings"),
    (lambda: direct_call(V.__init__), count_message("__init__", "exactly", 1, 0)),
    (lambda: direct_call(A.analyze_sql, OBJ, 1, 2), count_message("analyze_sql", "at most", 2, 3)),
    (lambda: direct_call(V._parse_sql, self=OBJ), count_message("_parse_sql", "exactly", 2, 1)),
    (lambda: direct_call(V._parse_sql, OBJ, "x", **{"sql": 1}),
     "_parse_sql() got multiple values for keyword argument 'sql'"),
    (lambda: direct_call(V._re_hint, sql="x", other=1),
     "_re_hint() got an unexpected keyword argument 'other'"),
])
def test_direct_call_route_errors(call, message):
    raises_type_error(call, message)


class NameText(str):
    """A keyword that is equal to a parameter name without being the same object."""


@pytest.mark.parametrize("call", [
    lambda: V._re_hint("a -- c"),
    lambda: V._re_hint(sql="a -- c"),
    lambda: V._re_hint(**{"".join(["s", "ql"]): "a -- c"}),    # not interned: found by equality
    lambda: direct_call(V._re_hint, "a -- c"),
    lambda: direct_call(V._re_hint, sql="a -- c"),
    lambda: direct_call(V._re_hint, **{NameText("sql"): "a -- c"}),
    lambda: V()._re_hint("a -- c"),
    lambda: V()._re_hint(sql="a -- c"),
])
def test_a_static_method_takes_its_parameter_by_position_or_name(call):
    assert call() == "a "


@pytest.mark.parametrize("call", [
    lambda: V.__init__(OBJ),
    lambda: V.__init__(self=OBJ),
    lambda: direct_call(V.__init__, self=OBJ),
    lambda: V().__init__(),
])
def test_constructor_accepts_the_instance_by_position_or_name(call):
    assert call() is None


class Stop(Exception):
    """Raised by a probe method to show the arguments it was handed."""


class AnalyzeProbe(Analyze):
    def _check_union(self, *args):
        raise Stop(self, args)

    def _get_all_select_value(self, *args):
        raise Stop(self, args)


class FrontEndProbe(VexloParseMain):
    def _re_hint(self, *args):
        raise Stop(self, args)


def handed_on(call):
    """The (self, args) that the method handed to its first collaborator."""
    with pytest.raises(Stop) as caught:
        call()
    return caught.value.args


PROBE = object.__new__(AnalyzeProbe)
FRONT = FrontEndProbe()


@pytest.mark.parametrize("call, expected", [
    # The default level is 0; a level given either way is handed on unchanged.
    (lambda: PROBE.analyze_sql(), (PROBE, (0,))),
    (lambda: AnalyzeProbe.analyze_sql(PROBE), (PROBE, (0,))),
    (lambda: Analyze.analyze_sql(self=PROBE), (PROBE, (0,))),
    (lambda: PROBE.analyze_sql(5), (PROBE, (5,))),
    (lambda: Analyze.analyze_sql(level=7, self=PROBE), (PROBE, (7,))),
    (lambda: direct_call(Analyze.analyze_sql, PROBE, level=9), (PROBE, (9,))),
    # Keywords in any order land on their own parameters.
    (lambda: PROBE._analyze_sql_start(level=2, tree="t"), (PROBE, ("t", 2))),
    (lambda: Analyze._analyze_sql_start(PROBE, "t", level=3), (PROBE, ("t", 3))),
    (lambda: FrontEndProbe._parse_sql(sql="x", self=FRONT), (FRONT, ("x",))),
    (lambda: FRONT._parse_sql("y"), (FRONT, ("y",))),
])
def test_parameters_reach_the_body(call, expected):
    assert handed_on(call) == expected


@pytest.mark.parametrize("kwargs, master", [({}, None), ({"master": "m"}, "m")])
def test_the_master_default_is_none(kwargs, master):
    analyser = Analyze({"select": "*"})
    analyser._var.result = {}
    analyser._analyze_select_value(tree={}, select_value_list=[], level=0, **kwargs)
    assert analyser._var.result.get("*").master == master


def test_constructor_keyword():
    tree = {"select": "a"}
    assert Analyze(tree=tree).tree is tree


def argument_traffic(value):
    """Passes `value` through every route, accepted and refused."""
    front = VexloParseMain()
    calls = [
        lambda: front.__init__(),
        lambda: V.__init__(self=value),
        lambda: direct_call(V.__init__, value),
        lambda: direct_call(V.__init__, self=value),
        lambda: V._parse_sql(value),
        lambda: V._parse_sql(self=value),
        lambda: V._parse_sql(value, "x", sql=value),
        lambda: V._re_hint(sql="x", extra=value),
        lambda: direct_call(V._re_hint, "x", **{("k",): value}),
        lambda: direct_call(A.analyze_sql, value, 1, 2),
        lambda: A._analyze_select_value(value, value, value, value, value, value),
    ]
    for call in calls:
        try:
            call()
        except TypeError:
            pass


def test_calls_keep_no_reference_to_their_arguments():
    value = object()
    argument_traffic(value)
    before = sys.getrefcount(value)
    argument_traffic(value)
    assert sys.getrefcount(value) == before


def test_repeated_calls_do_not_grow_memory():
    def phase(rounds):
        gc.collect()
        start = sys.getallocatedblocks()
        for _ in range(rounds):
            argument_traffic(object())
        gc.collect()
        return sys.getallocatedblocks() - start

    phase(200)  # warm-up: caches and interned names settle
    assert phase(500) < 100

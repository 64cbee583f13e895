"""Properties over generated inputs: the analyser on arbitrary JSON-like trees and
the parse driver on generated SQL never break the interpreter, give lineage in
their documented shape, repeat themselves, and leave their input alone."""

import contextlib
import copy
import io

from hypothesis import HealthCheck, given, settings, strategies as st

from querimo_main import Analyze, VexloParseMain
from vexlo_var import VexloVar

SETTINGS = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def outcome(call):
    """The result, or (exception class, message). Printing is swallowed: two
    failure paths print the values they could not use."""
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            return call()
    except SystemError:
        raise  # our own code broke
    except Exception as exc:
        return type(exc), str(exc)


def same(a, b):
    # Lineage lists carry no order; compare them as multisets.
    if isinstance(a, list) and isinstance(b, list):
        return sorted(map(repr, a)) == sorted(map(repr, b))
    return a == b


# ---- trees ------------------------------------------------------------------------

KEYS = st.sampled_from(["select", "from", "value", "name", "union", "union_all", "join",
                        "left join", "inner join", "on", "where", "orderby", "limit", "eq",
                        "*", "a.b", "", "x y", "$", "[0]"])
TEXTS = st.one_of(
    st.sampled_from(["a", "t.a", "t.*", "*", "s.*", "db.t", "s", "t", "a.b.c", ".", "", "x y",
                     "s.x", "db.t.c", "T.A", "$.a", "*.*"]),
    st.text(alphabet="ab.*$ '[]\\\x00\u00e9\ud800", max_size=6),
)
LEAVES = st.one_of(TEXTS, st.integers(-3, 3), st.floats(allow_nan=False, allow_infinity=False),
                   st.none(), st.booleans())
ANY_TREE = st.recursive(
    LEAVES,
    lambda inner: st.one_of(st.lists(inner, max_size=4), st.dictionaries(KEYS, inner, max_size=4)),
    max_leaves=30,
)

# Trees shaped like statements, so that the deeper resolution steps are reached.
ALIASES = st.sampled_from(["t", "s", "a", "T", "u"])
TABLES = st.sampled_from(["t", "db.t", "u", "db.u", "a.b.c", "s"])


def items(columns):
    # Mostly as the parser writes them: {"value": ...} with or without an alias.
    named = st.builds(lambda v, n: {"value": v, "name": n}, columns, ALIASES)
    bare = st.builds(lambda v: {"value": v}, columns)
    plain = st.one_of(bare, named, bare, named, columns)
    return st.one_of(plain, st.lists(plain, min_size=1, max_size=4))


COLUMNS = st.one_of(st.sampled_from(["a", "b", "*", "t.a", "s.a", "s.*", "t.*", "u.b", "T.a"]),
                    st.integers(0, 2), st.builds(lambda v: {"count": v}, st.just("a")))


def sources(statement):
    one = st.one_of(TABLES, st.builds(lambda v, n: {"value": v, "name": n}, st.one_of(TABLES, statement), ALIASES),
                    st.builds(lambda v: {"value": v}, statement))
    joined = st.builds(lambda j, v: {j: v, "on": {"eq": ["t.a", "s.a"]}},
                       st.sampled_from(["join", "left join", "inner join"]), one)
    return st.one_of(one, st.builds(lambda first, rest: [first, *rest], one, st.lists(joined, max_size=2)))


STATEMENTS = st.deferred(lambda: st.one_of(
    st.builds(lambda s, f: {"select": s, "from": f}, items(COLUMNS), sources(STATEMENTS)),
    st.builds(lambda s, f: {"select": s, "from": f}, items(COLUMNS), sources(STATEMENTS)),
    st.builds(lambda s: {"select": s}, items(COLUMNS)),
))
UNIONS = st.builds(lambda key, members, extra: {key: members, **extra},
                   st.sampled_from(["union", "union_all"]), st.lists(STATEMENTS, max_size=3),
                   st.sampled_from([{}, {"orderby": {"value": 1}}, {"limit": 5}]))
TREES = st.one_of(ANY_TREE, st.dictionaries(KEYS, ANY_TREE, min_size=1, max_size=5), STATEMENTS, UNIONS)


def analysed(tree):
    return outcome(lambda: Analyze(tree).analyze_sql())


@SETTINGS
@given(TREES)
def test_any_tree_gives_lineage_tuples_or_an_exception(tree):
    got = analysed(tree)
    if isinstance(got, list):
        assert all(type(entry) is tuple and len(entry) == 3 for entry in got)
        assert len(set(got)) == len(got)  # distinct entries
    else:
        assert issubclass(got[0], Exception)


@SETTINGS
@given(TREES)
def test_the_same_tree_gives_the_same_result_and_stays_as_it_was(tree):
    before = copy.deepcopy(tree)
    first = analysed(tree)
    assert tree == before
    assert same(analysed(tree), first)
    # Records and plain dicts are one tree to the analyser.
    if isinstance(tree, dict):
        assert same(outcome(lambda: Analyze(VexloVar(tree)).analyze_sql()), first)


@SETTINGS
@given(STATEMENTS)
def test_analysing_again_gives_the_entries_of_both_walks(tree):
    analyzer = Analyze(tree)
    first = outcome(analyzer.analyze_sql)
    if not isinstance(first, list):
        return
    # The second walk runs over the analyser's own normalised copy and adds its
    # entries to those of the first; both walks find the same ones.
    assert same(outcome(analyzer.analyze_sql), first)


# ---- SQL text ----------------------------------------------------------------------

NAMES = st.sampled_from(["a", "b", "c1", "t", "s", "x", '"q c"', "`b`", "T", "_z"])
QUALIFIED = st.builds(lambda q, n: f"{q}.{n}", st.sampled_from(["t", "s", "db", "T"]), NAMES)
EXPRESSIONS = st.one_of(NAMES, QUALIFIED, st.sampled_from(["*", "t.*", "s.*", "1", "'x'", "null",
                                                            "count(a)", "a + b", "max(t.a)"]))
SELECTED = st.one_of(EXPRESSIONS, st.builds(lambda e, n: f"{e} as {n}", EXPRESSIONS, NAMES),
                     st.builds(lambda e, n: f"{e} {n}", EXPRESSIONS, NAMES))
SELECT_LISTS = st.lists(SELECTED, min_size=1, max_size=4).map(", ".join)
COMMENTS = st.sampled_from(["", " /*+ hint(t) */ ", " /* c */", " -- note\n", "\n\n", " /* a /* b */ */ "])


def from_clauses(query):
    table = st.one_of(st.sampled_from(["t", "db.t", "u", "db.u t", "t s", "db.t as T"]),
                      st.builds(lambda q, a: f"({q}) {a}", query, st.sampled_from(["s", "t", "x"])),
                      st.builds(lambda q: f"({q})", query))
    return st.one_of(table, st.builds(lambda a, j, b: f"{a} {j} {b} on t.a = s.a", table,
                                      st.sampled_from(["join", "left join", "inner join"]), table))


QUERIES = st.recursive(
    st.one_of(st.builds(lambda s, c: f"select {s}{c}", SELECT_LISTS, COMMENTS),
              st.builds(lambda s, c, f: f"select {s}{c} from {f}", SELECT_LISTS, COMMENTS,
                        st.sampled_from(["t", "db.t", "u t", "db.u as s", "t T"]))),
    lambda query: st.one_of(
        st.builds(lambda s, c, f: f"select {s}{c} from {f}", SELECT_LISTS, COMMENTS, from_clauses(query)),
        st.builds(lambda a, u, b: f"{a} {u} {b}", query, st.sampled_from(["union", "union all"]), query),
    ),
    max_leaves=4,
)
# Now and then text no grammar would make, spliced in.
TEXT = st.one_of(QUERIES, st.builds(lambda q, junk, at: q[:at] + junk + q[at:], QUERIES,
                                    st.text(max_size=4), st.integers(0, 40)))


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(TEXT)
def test_generated_sql_gives_records_or_an_exception(sql):
    got = outcome(lambda: VexloParseMain()._parse_sql(sql))
    if isinstance(got, list):
        for record in got:
            assert isinstance(record, VexloVar)
            assert list(record) == ["database", "table", "src", "tgt"]
            assert record.database is None or "." not in record.table
    else:
        assert issubclass(got[0], Exception)

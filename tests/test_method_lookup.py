"""The analyser's methods are looked up on the instance at every call, and records
through their class: a subclass, a change to a class, an attribute of the
instance or a record class of the user's own takes effect, whatever shortcut the
module takes while none of these is in place."""

import pytest

import querimo_main
from support.subprocess_python import run_python
from vexlo_var import VexloVar

Analyze = querimo_main.Analyze
STATEMENT = {"select": [{"value": "x.a"}, {"value": "b", "name": "c"}], "from": {"value": "db.t", "name": "x"}}
EXPECTED = [("db.t", "a", "a"), ("db.t", "b", "c")]


def test_methods_set_on_the_classes_take_effect():
    # In a child: changing the classes here would change them for the whole run.
    calls = run_python("""
        import querimo_main
        calls = []
        def wrap(cls, name, static=False):
            original = getattr(cls, name)
            def spy(*args):
                calls.append(name)
                return original(*args)
            setattr(cls, name, staticmethod(spy) if static else spy)
        before = querimo_main.VexloParseMain()._parse_sql("select a, t.b from t")
        wrap(querimo_main.Analyze, "_master_from_value")
        wrap(querimo_main.Analyze, "_none_master_from_value")
        wrap(querimo_main.Analyze, "_one_search_other", static=True)
        wrap(querimo_main.VexloParseMain, "_re_hint", static=True)
        after = querimo_main.VexloParseMain()._parse_sql("select a, t.b from t")
        assert sorted(map(tuple, before)) == sorted(map(tuple, after))
        report(sorted(set(calls)))
    """)
    assert calls == ["_master_from_value", "_none_master_from_value", "_one_search_other", "_re_hint"]


def shadow_column_step(analyser, seen):
    analyser._analyze_column = lambda tree, column, level: seen.append(column)


def shadow_alias_lookup(analyser, seen):
    original = analyser._one_search_other

    def search(tree, full_path, one, other):
        seen.append(other)
        return original(tree, full_path, one, other)

    analyser._one_search_other = search


def replace_class(analyser, seen):
    class Watching(Analyze):
        def _master_from_value(self, tree, column, level):
            seen.append(column)
            return super()._master_from_value(tree, column, level)

    analyser.__class__ = Watching


@pytest.mark.parametrize(
    "change, expected_calls",
    [
        (shadow_column_step, ["a", "c"]),
        (shadow_alias_lookup, ["name", "name", "value", "value"]),
        (replace_class, ["a", "c"]),
        # an attribute that shadows nothing leaves every method in place
        (lambda analyser, seen: setattr(analyser, "note", 1), []),
    ],
    ids=["instance-method", "instance-static-method", "class-of-instance", "unrelated-attribute"],
)
def test_a_change_to_one_analyser_takes_effect_for_it_alone(change, expected_calls):
    seen = []
    analyser = Analyze(STATEMENT)
    change(analyser, seen)
    assert sorted(analyser.analyze_sql()) == EXPECTED
    assert seen == expected_calls
    assert sorted(Analyze(STATEMENT).analyze_sql()) == EXPECTED


class CountingRecord(VexloVar):
    calls = []

    def get(self, key, default=None):
        CountingRecord.calls.append("get")
        return super().get(key, default)

    def find(self, path, first=0):
        CountingRecord.calls.append("find")
        return super().find(path, first)


@pytest.mark.parametrize(
    "sql",
    ["select t.id as uid from db.users t", "select s.k from (select qty as k from db.t) s",
     "select a.* from (select q.* from (select c from t) q) a"],
)
def test_records_of_a_record_class_of_ones_own_go_through_its_methods(sql, monkeypatch):
    expected = querimo_main.VexloParseMain()._parse_sql(sql)
    monkeypatch.setattr(querimo_main, "VexloVar", CountingRecord)
    CountingRecord.calls = []
    records = querimo_main.VexloParseMain()._parse_sql(sql)
    assert sorted(map(tuple, records)) == sorted(map(tuple, expected))
    assert all(type(r) is CountingRecord for r in records)
    assert {"get", "find"} <= set(CountingRecord.calls)

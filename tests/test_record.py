"""VexloVar: a dict whose fields are also attributes."""

import collections
import copy
import gc
import json
import pickle
import subprocess
import sys

import pytest

import vexlo_var
from vexlo_var import VexloVar


# --- construction ------------------------------------------------------------------

@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((), {}, {}),
        ((), {"sqls": [], "b": 2}, {"sqls": [], "b": 2}),
        (({"a": 1, "b": 2},), {}, {"a": 1, "b": 2}),
        (({"a": 1, "b": 2},), {"b": 3, "c": 4}, {"a": 1, "b": 3, "c": 4}),
        (([("a", 1), ("b", 2)],), {}, {"a": 1, "b": 2}),
        ((collections.OrderedDict(a=1),), {}, {"a": 1}),
        ((VexloVar(a=1),), {}, {"a": 1}),
        (({1: "x", None: "y"},), {}, {1: "x", None: "y"}),
    ],
    ids=["empty", "keywords", "mapping", "mapping-and-keywords", "pairs", "dict-subclass",
         "record", "non-str-keys"],
)
def test_constructor_takes_what_dict_takes(args, kwargs, expected):
    record = VexloVar(*args, **kwargs)
    assert type(record) is VexloVar
    assert record == expected
    assert list(record) == list(expected)


def test_constructor_copies_its_mapping():
    source = {"a": 1}
    record = VexloVar(source)
    record.b = 2
    assert source == {"a": 1}


@pytest.mark.parametrize(
    "args, error, message",
    [
        (({}, {}), TypeError, "VexloVar expected at most 1 argument, got 2"),
        ((5,), TypeError, "'int' object is not iterable"),
        (([("a", 1, 2)],), ValueError, "dictionary update sequence element #0 has length 3"),
    ],
)
def test_constructor_errors(args, error, message):
    with pytest.raises(error, match=message):
        VexloVar(*args)


def test_init_through_type_call_converts_too():
    # type.__call__ with a tuple and a dict instead of the vectorcall fast path
    record = type.__call__(VexloVar, {"m": {"x": 1}}, **{"k": {"y": 2}})
    assert type(record.m) is VexloVar and type(record.k) is VexloVar


# --- fields and attributes ----------------------------------------------------------

def test_attribute_and_item_are_one_storage():
    record = VexloVar()
    record.table = "t"
    assert record.get("table") == "t" and record["table"] == "t"
    record["master"] = "m"
    assert record.master == "m"
    assert list(record.items()) == [("table", "t"), ("master", "m")]


@pytest.mark.parametrize("name", ["sqls", "table", "x", "_private", "a_b"])
def test_unset_field_reads_none(name):
    assert getattr(VexloVar(), name) is None
    # getattr's default is never used: there is no AttributeError to replace
    assert getattr(VexloVar(), name, "default") is None


@pytest.mark.parametrize("name", ["__deepcopy__", "__getnewargs__", "__missing_thing__"])
def test_unset_dunder_raises_attribute_error(name):
    with pytest.raises(AttributeError, match=f"'vexlo_var.VexloVar' object has no attribute '{name}'"):
        getattr(VexloVar(), name)
    assert not hasattr(VexloVar(), name)


def test_dunder_field_that_is_set_reads_back():
    record = VexloVar(**{"__x__": 1})
    assert record.__x__ == 1


@pytest.mark.parametrize("name", ["get", "items", "pop", "keys", "add", "find", "values"])
def test_methods_win_over_fields_of_the_same_name(name):
    record = VexloVar(**{name: "field"})
    assert callable(getattr(record, name))
    assert record.get(name) == "field"
    setattr(record, name, "again")
    assert callable(getattr(record, name))
    assert record[name] == "again"


def test_reading_gives_the_stored_object_itself():
    entries = []
    record = VexloVar(sqls=entries)
    record.sqls.append(("t", "a", "b"))
    assert record.sqls is entries and entries == [("t", "a", "b")]


def test_none_stays_none():
    record = VexloVar(result={})
    record.result = None
    assert record.result is None and "result" in record


def test_delete_attribute():
    record = VexloVar(a=1, b=2)
    del record.a
    assert record == {"b": 2}
    with pytest.raises(AttributeError, match="object has no attribute 'a'"):
        del record.a


# --- conversion of stored dicts ------------------------------------------------------

class OtherDict(dict):
    pass


class SubRecord(VexloVar):
    pass


@pytest.mark.parametrize(
    "store",
    [
        lambda record, value: setattr(record, "f", value),
        lambda record, value: record.add(f=value),
        lambda record, value: record.__init__(f=value),
        lambda record, value: record.__init__({"f": value}),
    ],
    ids=["setattr", "add", "init-keyword", "init-mapping"],
)
@pytest.mark.parametrize("make", [dict, OtherDict, collections.OrderedDict],
                         ids=["dict", "dict-subclass", "ordered"])
def test_stored_dicts_become_records(store, make):
    record = VexloVar()
    store(record, make(value="t.id", inner=make(name="x")))
    field = record.get("f")
    assert type(field) is VexloVar
    assert field == {"value": "t.id", "inner": {"name": "x"}}
    assert type(field.inner) is VexloVar and field.inner.name == "x"
    # the same object every time, so attributes set through one read are seen
    # through the next
    assert record.get("f") is field and record.f is field
    record.get("f").table = "db.t"
    assert record.get("f").get("table") == "db.t"


def test_constructor_converts_values():
    record = VexloVar({"a": {"b": {"c": 1}}}, k={"x": 1})
    assert type(record.a) is VexloVar and type(record.a.b) is VexloVar
    assert type(record.k) is VexloVar


def test_stored_dict_is_copied_not_changed():
    plain = {"x": 1}
    record = VexloVar()
    record.f = plain
    record.f.y = 2
    assert plain == {"x": 1}


@pytest.mark.parametrize("value", [SubRecord(a=1), VexloVar(a=1)], ids=["subclass", "record"])
def test_records_are_stored_as_they_are(value):
    record = VexloVar()
    record.f = value
    record.add(g=value)
    assert record.f is value and record.g is value


@pytest.mark.parametrize("value", [[{"a": 1}], ({"a": 1},), "text", 3, None])
def test_other_values_are_stored_as_they_are(value):
    record = VexloVar(f=value)
    assert record.f is value


def test_item_assignment_is_dicts_own():
    plain = {"a": 1}
    record = VexloVar()
    record["f"] = plain
    assert record.f is plain


# --- add, get, pop ------------------------------------------------------------------

def test_add_replaces_in_place():
    record = VexloVar(a=1, b=2, c=3)
    assert record.add(b={"v": 1}, d=4) is None
    assert list(record) == ["a", "b", "c", "d"]
    assert record.b == {"v": 1} and record.d == 4


def test_add_takes_any_text_as_a_name():
    result = VexloVar()
    result.add(**{"*": {"value": "*", "master": None}})
    result.add(**{"a b": 1, "": 2, "1x": 3})
    assert result.get("*").value == "*" and result.get("*").master is None
    assert result["a b"] == 1 and result[""] == 2 and result["1x"] == 3


def test_add_refuses_positional_arguments():
    with pytest.raises(TypeError, match=r"add\(\) takes no positional arguments"):
        VexloVar().add({"a": 1})


def test_get_and_pop_are_dicts_own():
    record = VexloVar(a=1)
    assert record.get("missing") is None
    assert record.pop("a") == 1 and record == {}
    with pytest.raises(KeyError):
        record.pop("a")
    assert record.pop("a", "default") == "default"


# --- json, repr, copies -------------------------------------------------------------

TREE_TEXT = (
    '{"select":[{"value":"t.id","name":"uid"},{"value":{"add":["a",{"literal":"x"}]}}],'
    '"from":[{"value":"db.users","name":"t"},{"join":"d","on":{"eq":["a","b"]}}],'
    '"limit":3,"flag":null,"empty":{}}'
)


def records_and_lists(node):
    if isinstance(node, dict):
        yield node
        for value in node.values():
            yield from records_and_lists(value)
    elif isinstance(node, list):
        yield node
        for value in node:
            yield from records_and_lists(value)


def test_json_object_hook_builds_records():
    tree = json.loads(TREE_TEXT, object_hook=VexloVar)
    mappings = [n for n in records_and_lists(tree) if isinstance(n, dict)]
    assert len(mappings) == 9
    assert all(type(m) is VexloVar for m in mappings)
    assert json.dumps(tree, separators=(",", ":")) == TREE_TEXT
    assert tree.select[0].name == "uid" and tree.find("$.from[0].name", 1) == "t"


@pytest.mark.parametrize(
    "record, text",
    [
        (VexloVar(), "VexloVar({})"),
        (VexloVar(a=1), "VexloVar({'a': 1})"),
        (VexloVar(a={"b": [1]}), "VexloVar({'a': VexloVar({'b': [1]})})"),
        (SubRecord(a=1), "SubRecord({'a': 1})"),
    ],
)
def test_repr(record, text):
    assert repr(record) == text


def test_repr_of_a_record_that_contains_itself():
    record = VexloVar()
    record["me"] = record
    assert repr(record) == "VexloVar({'me': VexloVar({...})})"


@pytest.mark.parametrize(
    "duplicate",
    [copy.copy, copy.deepcopy, lambda r: pickle.loads(pickle.dumps(r))],
    ids=["copy", "deepcopy", "pickle"],
)
def test_copies_keep_the_type(duplicate):
    record = VexloVar(a=1, b={"c": [1, 2]})
    other = duplicate(record)
    assert type(other) is VexloVar and other == record and other is not record
    assert type(other.b) is VexloVar


def test_python_subclass_runs_its_own_init():
    calls = []

    class Traced(VexloVar):
        def __init__(self, *args, **kwargs):
            calls.append((args, kwargs))
            super().__init__(*args, **kwargs)

    record = Traced({"a": 1}, b={"c": 2})
    assert calls == [(({"a": 1},), {"b": {"c": 2}})]
    assert type(record) is Traced and type(record.b) is VexloVar and record.a == 1


def test_module_instances_are_independent():
    # multi-phase init: a second module object gets types of its own
    import importlib.util

    spec = importlib.util.find_spec("vexlo_var")
    other = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(other)
    assert other.VexloVar is not VexloVar
    record = other.VexloVar(f={"a": 1})
    assert type(record.f) is other.VexloVar
    # a record of the other module is still a dict to convert for this one
    assert type(VexloVar(g=record).g) is VexloVar


# --- depth and cycles ---------------------------------------------------------------

def test_converting_a_very_deep_dict_raises_recursion_error():
    deep = {}
    for _ in range(100_000):
        deep = {"x": deep}
    with pytest.raises(RecursionError):
        VexloVar(f=deep)


def test_converting_a_cyclic_dict_raises_recursion_error():
    cyclic = {}
    cyclic["self"] = cyclic
    record = VexloVar()
    with pytest.raises(RecursionError):
        record.f = cyclic
    assert "f" not in record


def test_freeing_a_very_deep_chain_of_records():
    # Runs apart: a native stack overflow would take the interpreter down.
    code = (
        "from vexlo_var import VexloVar\n"
        "node = VexloVar(leaf=1)\n"
        "for _ in range(300_000):\n"
        "    node = VexloVar(x=node)\n"
        "del node\n"
        "print('freed')\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=None, check=False)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "freed\n"


def test_cycles_of_records_are_collected():
    import weakref

    class Marker:
        pass

    marker = Marker()
    alive = weakref.ref(marker)
    record = VexloVar(marker=marker)
    record.me = record
    del record, marker
    gc.collect()
    assert alive() is None


def test_type_exposed_by_module():
    assert vexlo_var.VexloVar is VexloVar and issubclass(VexloVar, dict)
    assert VexloVar.__module__ == "vexlo_var"

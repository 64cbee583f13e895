"""VexloVar: a dict whose fields are also attributes."""

import collections
import copy
import gc
import importlib.util
import json
import pickle
import subprocess
import sys
import weakref

import pytest

from vexlo_var import VexloVar


class OtherDict(dict):
    pass


class SubRecord(VexloVar):
    pass


class Marker:
    pass


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((), {"sqls": [], "b": 2}, {"sqls": [], "b": 2}),
        (({"a": 1, "b": 2},), {"b": 3, "c": 4}, {"a": 1, "b": 3, "c": 4}),
        (([("a", 1), ("b", 2)],), {}, {"a": 1, "b": 2}),
        ((collections.OrderedDict(a=1),), {}, {"a": 1}),
        (({1: "x", None: "y"},), {}, {1: "x", None: "y"}),
    ],
)
def test_constructor_takes_what_dict_takes(args, kwargs, expected):
    record = VexloVar(*args, **kwargs)
    assert type(record) is VexloVar and list(record.items()) == list(expected.items())


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


def test_fields_and_attributes_are_one_storage():
    entries = []
    record = VexloVar(sqls=entries)
    record.table = "t"
    record["master"] = "m"
    assert record.get("table") == "t" and record.master == "m"
    assert record.sqls is entries  # the stored object itself, not a copy
    assert record.never_set is None and getattr(record, "other", "default") is None
    del record.table
    assert list(record) == ["sqls", "master"]
    with pytest.raises(AttributeError, match="'vexlo_var.VexloVar' object has no attribute 'table'"):
        del record.table


def test_unset_dunders_still_raise_attribute_error():
    record = VexloVar(**{"__x__": 1})
    assert record.__x__ == 1
    with pytest.raises(AttributeError, match="object has no attribute '__deepcopy__'"):
        record.__deepcopy__  # noqa: B018


@pytest.mark.parametrize("name", ["get", "items", "pop", "keys", "add", "find"])
def test_methods_win_over_fields_of_the_same_name(name):
    record = VexloVar(**{name: "field"})
    setattr(record, name, "again")
    assert callable(getattr(record, name)) and record.get(name) == "again"


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
@pytest.mark.parametrize("make", [dict, OtherDict], ids=["dict", "dict-subclass"])
def test_stored_dicts_become_records(store, make):
    plain = make(value="t.id", inner=make(name="x"))
    record = VexloVar()
    store(record, plain)
    field = record.get("f")
    assert type(field) is VexloVar and type(field.inner) is VexloVar
    assert field == {"value": "t.id", "inner": {"name": "x"}}
    # the same object every time: what is set through one read shows in the next
    assert record.get("f") is field and record.f is field
    record.get("f").table = "db.t"
    assert record.get("f").get("table") == "db.t" and "table" not in plain


def test_constructor_converts_nested_values():
    record = VexloVar({"a": {"b": {"c": 1}}}, k={"x": 1})
    assert type(record.a.b) is VexloVar and type(record.k) is VexloVar


@pytest.mark.parametrize("value", [SubRecord(a=1), VexloVar(a=1), [{"a": 1}], ({"a": 1},), None])
def test_other_values_are_stored_as_they_are(value):
    record = VexloVar(f=value)
    record.g = value
    record.add(h=value)
    assert record.f is value and record.g is value and record.h is value


def test_item_assignment_is_dicts_own():
    plain = {"a": 1}
    record = VexloVar()
    record["f"] = plain
    assert record.f is plain


def test_add_replaces_in_place_and_takes_any_text():
    record = VexloVar(a=1, b=2, c=3)
    assert record.add(b={"v": 1}, **{"*": "star", "a b": 4}) is None
    assert list(record) == ["a", "b", "c", "*", "a b"]
    assert record.b.v == 1 and record.get("*") == "star"
    with pytest.raises(TypeError, match=r"add\(\) takes no positional arguments"):
        record.add({"a": 1})


def test_get_and_pop_are_dicts_own():
    record = VexloVar(a=1)
    assert record.get("missing") is None and record.pop("a") == 1 and record == {}
    with pytest.raises(KeyError):
        record.pop("a")


def test_json_object_hook_builds_a_tree_of_records():
    text = ('{"select":[{"value":"t.id","name":"uid"}],"from":[{"value":"db.users"},'
            '{"join":"d","on":{"eq":["a","b"]}}],"limit":3,"empty":{}}')
    tree = json.loads(text, object_hook=VexloVar)
    assert [type(m) for m in (tree, tree.select[0], tree["from"][1].on, tree.empty)] == [VexloVar] * 4
    assert json.dumps(tree, separators=(",", ":")) == text
    assert tree.find("$.select[0].name", 1) == "uid"


def test_repr():
    assert repr(VexloVar(a={"b": [1]})) == "VexloVar({'a': VexloVar({'b': [1]})})"
    assert repr(SubRecord()) == "SubRecord({})"
    record = VexloVar()
    record["me"] = record
    assert repr(record) == "VexloVar({'me': VexloVar({...})})"


@pytest.mark.parametrize(
    "duplicate", [copy.copy, copy.deepcopy, lambda r: pickle.loads(pickle.dumps(r))],
    ids=["copy", "deepcopy", "pickle"],
)
def test_copies_keep_the_type(duplicate):
    other = duplicate(VexloVar(a=1, b={"c": [1, 2]}))
    assert type(other) is VexloVar and type(other.b) is VexloVar and other == {"a": 1, "b": {"c": [1, 2]}}


def test_python_subclass_runs_its_own_init():
    calls = []

    class Traced(VexloVar):
        def __init__(self, *args, **kwargs):
            calls.append((args, kwargs))
            super().__init__(*args, **kwargs)

    record = Traced({"a": 1}, b={"c": 2})
    assert calls == [(({"a": 1},), {"b": {"c": 2}})]
    assert type(record) is Traced and type(record.b) is VexloVar


def test_module_instances_have_their_own_types():
    spec = importlib.util.find_spec("vexlo_var")
    other = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(other)
    assert other.VexloVar is not VexloVar
    assert type(other.VexloVar(f={}).f) is other.VexloVar
    # the other module's record is one more dict subclass to this one
    assert type(VexloVar(g=other.VexloVar()).g) is VexloVar


def deep_dict():
    node = {}
    for _ in range(100_000):
        node = {"x": node}
    return node


def cyclic_dict():
    node = {}
    node["self"] = node
    return node


@pytest.mark.parametrize("make", [deep_dict, cyclic_dict])
def test_converting_endless_or_very_deep_dicts_raises_recursion_error(make):
    record = VexloVar()
    with pytest.raises(RecursionError):
        record.f = make()
    assert "f" not in record


def test_freeing_a_very_deep_chain_of_records():
    # Apart: a native stack overflow would take the interpreter down with it.
    code = ("from vexlo_var import VexloVar\nnode = VexloVar(leaf=1)\n"
            "for _ in range(300_000):\n    node = VexloVar(x=node)\ndel node\nprint('freed')\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert (done.returncode, done.stdout) == (0, "freed\n"), done.stderr


def test_cycles_of_records_are_collected():
    record = VexloVar(marker=Marker())
    alive = weakref.ref(record["marker"])
    record.me = record
    del record
    gc.collect()
    assert alive() is None

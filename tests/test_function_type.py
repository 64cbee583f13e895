"""The method objects and the two classes: attributes, binding, static methods,
repr, and the shape of the classes made at import."""

import re
import weakref

import pytest

import querimo_main
from querimo_main import Analyze, VexloParseMain

METHODS = {
    "VexloParseMain": [
        ("__init__", "(self)", None, False),
        ("_re_hint", "(sql)", None, True),
        ("_parse_sql", "(self, sql)", None, False),
    ],
    "Analyze": [
        ("__init__", "(self, tree)", None, False),
        ("analyze_sql", "(self, level=0)", (0,), False),
        ("_analyze_sql_start", "(self, tree, level)", None, False),
        ("_analyze_from_value", "(self, tree, level)", None, False),
        ("_analyze_from_value_master", "(self, tree, column, level)", None, False),
        ("_master_from_value", "(self, tree, column, level)", None, False),
        ("_none_master_from_value", "(self, tree, column, level)", None, False),
        ("_check_union", "(self, level)", None, False),
        ("_get_all_select_value", "(self, tree, level)", None, False),
        ("_analyze_select_value", "(self, tree, select_value_list, level, master=None)", (None,),
         False),
        ("_analyze_column", "(self, tree, column, level)", None, False),
        ("_analyze_column_asterisk", "(self, tree, column, level)", None, False),
        ("_one_replace_other", "(self, full_path, one, other)", None, False),
        ("_one_search_other", "(tree, full_path, one, other)", None, True),
    ],
}
CLASSES = {"VexloParseMain": VexloParseMain, "Analyze": Analyze}
ALL_METHODS = [(cls, *row) for cls, rows in METHODS.items() for row in rows]


def raw_function(cls_name, name):
    member = CLASSES[cls_name].__dict__[name]
    return member.__func__ if isinstance(member, staticmethod) else member


@pytest.mark.parametrize("cls_name, name, params, defaults, static", ALL_METHODS)
def test_method_attributes(cls_name, name, params, defaults, static):
    function = raw_function(cls_name, name)
    assert (function.__name__, function.__qualname__, function.__module__, function.__doc__,
            function.__defaults__) == (
        name, f"{cls_name}.{name}", "querimo_main", f"{cls_name}.{name}{params}", defaults)
    assert type(function) is type(raw_function("VexloParseMain", "__init__"))
    assert isinstance(CLASSES[cls_name].__dict__[name], staticmethod) == static


@pytest.mark.parametrize("cls_name", list(METHODS))
def test_class_shape(cls_name):
    cls = CLASSES[cls_name]
    names = [row[0] for row in METHODS[cls_name]]
    assert type(cls) is type
    assert cls.__bases__ == (object,)
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (cls_name, cls_name, "querimo_main")
    assert cls.__doc__ is None
    assert list(cls.__dict__)[: len(names) + 1] == ["__module__", *names]
    assert set(cls.__dict__) == {"__module__", *names, "__dict__", "__weakref__", "__doc__"}
    assert getattr(querimo_main, cls_name) is cls


def test_instances_take_arbitrary_attributes():
    front = VexloParseMain()
    front.anything = 1
    assert vars(front) == {"anything": 1}


def test_instance_methods_bind_like_python_functions():
    function = VexloParseMain.__dict__["_parse_sql"]
    front = VexloParseMain()
    bound = front._parse_sql
    assert VexloParseMain._parse_sql is function
    assert (bound.__self__, bound.__func__) == (front, function)
    assert function.__get__(None, VexloParseMain) is function
    assert function.__get__(front).__self__ is front
    assert repr(bound).startswith(f"<bound method VexloParseMain._parse_sql of {front!r}")
    # The bound method forwards attribute reads to the function.
    assert (bound.__name__, bound.__doc__) == ("_parse_sql", "VexloParseMain._parse_sql(self, sql)")


def test_static_methods_do_not_bind():
    wrapper = VexloParseMain.__dict__["_re_hint"]
    function = wrapper.__func__
    assert VexloParseMain._re_hint is function
    assert VexloParseMain()._re_hint is function
    assert Analyze._one_search_other is Analyze.__dict__["_one_search_other"].__func__
    # staticmethod copies the function's identity attributes onto itself.
    assert (wrapper.__name__, wrapper.__qualname__, wrapper.__module__, wrapper.__doc__) == (
        "_re_hint", "VexloParseMain._re_hint", "querimo_main", "VexloParseMain._re_hint(sql)")
    assert wrapper.__wrapped__ is function


def test_repr_names_the_qualified_name():
    function = Analyze.analyze_sql
    assert re.fullmatch(r"<function Analyze\.analyze_sql at 0x[0-9a-f]+>", repr(function))
    assert repr(function) == f"<function Analyze.analyze_sql at {id(function):#x}>"


@pytest.fixture
def function():
    """A method object whose writable attributes are put back afterwards."""
    target = Analyze.__dict__["_check_union"]
    saved = {name: getattr(target, name)
             for name in ("__name__", "__qualname__", "__module__", "__doc__", "__defaults__")}
    yield target
    for name, value in saved.items():
        setattr(target, name, value)
    target.__dict__.clear()


@pytest.mark.parametrize("attribute", ["__name__", "__qualname__"])
def test_names_accept_only_str(function, attribute):
    setattr(function, attribute, "renamed")
    assert getattr(function, attribute) == "renamed"
    for bad in (None, 1, b"bytes"):
        with pytest.raises(TypeError, match=f"^{attribute} must be set to a string object$"):
            setattr(function, attribute, bad)
    with pytest.raises(TypeError, match=f"^{attribute} must be set to a string object$"):
        delattr(function, attribute)
    assert getattr(function, attribute) == "renamed"


def test_repr_follows_the_qualname(function):
    function.__qualname__ = "Other.name"
    assert repr(function).startswith("<function Other.name at ")


def test_renaming_does_not_change_argument_messages(function):
    function.__name__ = "renamed"
    with pytest.raises(TypeError, match=r"^_check_union\(\) takes exactly 2"):
        function()


@pytest.mark.parametrize("value, expected", [((1, 2), (1, 2)), ((), ()), (None, None)])
def test_defaults_take_a_tuple_or_none(function, value, expected):
    function.__defaults__ = value
    assert function.__defaults__ == expected


def test_defaults_refuse_other_values_and_deletion_means_none(function):
    function.__defaults__ = (3,)
    with pytest.raises(TypeError, match=r"^__defaults__ must be set to a tuple object$"):
        function.__defaults__ = [1]
    assert function.__defaults__ == (3,)
    del function.__defaults__
    assert function.__defaults__ is None


def test_module_doc_and_dict_are_writable(function):
    function.__module__ = "elsewhere"
    function.__doc__ = None
    function.tag = "x"
    assert (function.__module__, function.__doc__, function.__dict__) == ("elsewhere", None,
                                                                          {"tag": "x"})
    function.__dict__ = {"other": 1}
    assert function.other == 1
    with pytest.raises(TypeError):
        function.__dict__ = 5


def test_function_objects_cannot_be_made_from_python():
    with pytest.raises(TypeError):
        type(Analyze.analyze_sql)()


def test_weak_references():
    function = Analyze.analyze_sql
    assert weakref.ref(function)() is function


def test_endless_self_calls_end_in_recursion_error():
    class Loop(VexloParseMain):
        def _re_hint(self, sql):
            return self._parse_sql(sql)

    with pytest.raises(RecursionError):
        Loop()._parse_sql("select 1")

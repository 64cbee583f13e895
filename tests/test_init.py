"""Module initialisation: the globals an import binds, create and exec through the
import system and the loader, and the one-interpreter, one-module-object rules."""

import pytest

import querimo_main
from support.subprocess_python import run_python

IMPORT_SYSTEM = ["__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"]
MODULE_GLOBALS = ["__builtins__", "re", "parse", "VexloVar", "json", "VexloParseMain", "Analyze",
                  "__test__"]


@pytest.fixture(scope="module", autouse=True)
def repaired_environment():
    # The first import in this environment may repair the installed parsing
    # engine (this test process may have done so already, while collecting);
    # the fresh processes below check an import that no longer needs it.
    run_python("import querimo_main\nreport(True)")


def test_fresh_import_binds_exactly_the_module_globals_in_order():
    got = run_python("""
        import builtins, importlib.util, json, re, sys
        import moz_sql_parser, vexlo_var
        import querimo_main as m
        spec = importlib.util.find_spec("querimo_main")
        report({
            "names": list(vars(m)),
            "builtins": m.__builtins__ is builtins,
            "re": m.re is re, "json": m.json is json,
            "parse": m.parse is moz_sql_parser.parse,
            "VexloVar": m.VexloVar is vexlo_var.VexloVar,
            "test": type(m.__test__) is dict and m.__test__ == {},
            "file": m.__file__ == spec.origin, "package": m.__package__,
            "loader": type(m.__loader__).__name__, "in_sys_modules": sys.modules["querimo_main"] is m,
            "doc": isinstance(m.__doc__, str) and bool(m.__doc__.strip()),
        })
    """)
    assert got.pop("names") == IMPORT_SYSTEM + MODULE_GLOBALS
    assert got == {"builtins": True, "re": True, "json": True, "parse": True, "VexloVar": True,
                   "test": True, "file": True, "package": "", "loader": "ExtensionFileLoader",
                   "in_sys_modules": True, "doc": True}


def test_reimport_gives_the_same_object_and_runs_nothing_again():
    got = run_python("""
        import sys
        import querimo_main as first
        first.re = "rebound"                      # exec would bind the module again
        classes = (first.VexloParseMain, first.Analyze)
        del sys.modules["querimo_main"]
        import querimo_main as second
        report({"same": second is first, "re": second.re,
                "classes": (second.VexloParseMain, second.Analyze) == classes,
                "registered": sys.modules["querimo_main"] is first})
    """)
    assert got == {"same": True, "re": "rebound", "classes": True, "registered": True}


def test_loader_runs_create_and_exec_and_create_then_returns_the_same_object():
    got = run_python("""
        import importlib.machinery, importlib.util, sys
        origin = importlib.util.find_spec("querimo_main").origin
        loader = importlib.machinery.ExtensionFileLoader("querimo_main", origin)
        spec = importlib.util.spec_from_file_location("querimo_main", origin, loader=loader)
        module = loader.create_module(spec)
        before = "querimo_main" in sys.modules
        created_names = list(vars(module))
        loader.exec_module(module)
        report({
            "before": before, "created": created_names,
            "file": module.__file__ == origin, "loader": module.__loader__ is loader,
            "after": sys.modules.get("querimo_main") is module,
            "again": loader.create_module(spec) is module,
            "parse": module.parse("select a from t"),
        })
    """)
    assert got == {
        "before": False,
        "created": ["__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"],
        "file": True, "loader": True, "after": True, "again": True,
        "parse": {"select": {"value": "a"}, "from": "t"},
    }


@pytest.mark.parametrize("spec_source, expected", [
    # A spec without loader, parent or search locations: those copies are skipped.
    ("types.SimpleNamespace(name='querimo_main', origin=origin)",
     {"__loader__": None, "__package__": None, "__file__": True, "__path__": False}),
    # Search locations become __path__.
    ("importlib.util.spec_from_file_location('querimo_main', origin, "
     "submodule_search_locations=['/nowhere'])",
     {"__loader__": "ExtensionFileLoader", "__package__": "querimo_main", "__file__": True,
      "__path__": ["/nowhere"]}),
])
def test_create_copies_the_spec_attributes_that_exist(spec_source, expected):
    got = run_python(f"""
        import _imp, importlib.util, types
        origin = importlib.util.find_spec("querimo_main").origin
        module = _imp.create_dynamic({spec_source})
        loader = getattr(module, "__loader__", "missing")
        report({{
            "__loader__": None if loader is None else type(loader).__name__,
            "__package__": module.__package__,
            "__file__": module.__file__ == origin,
            "__path__": getattr(module, "__path__", False),
        }})
    """)
    assert got == expected


def test_exec_with_another_module_object_is_refused():
    got = run_python("""
        import ctypes, types
        import querimo_main
        api = ctypes.pythonapi
        api.PyModule_GetDef.restype = ctypes.c_void_p
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        api.PyModule_ExecDef.restype = ctypes.c_int
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        definition = api.PyModule_GetDef(querimo_main)
        other = types.ModuleType("querimo_main")
        try:
            api.PyModule_ExecDef(other, definition)
            outcome = None
        except RuntimeError as exc:
            outcome = str(exc)
        report({"other": outcome, "same": api.PyModule_ExecDef(querimo_main, definition),
                "untouched": list(vars(other))})
    """)
    assert got == {
        "other": "Module 'querimo_main' has already been imported. "
                 "Re-initialisation is not supported.",
        "same": 0,
        "untouched": ["__name__", "__doc__", "__package__", "__loader__", "__spec__"],
    }


def test_failed_exec_forgets_the_module_and_a_later_import_starts_over():
    got = run_python("""
        import importlib.util, sys
        spec = importlib.util.find_spec("querimo_main")
        sys.modules["vexlo_var"] = None            # makes `from vexlo_var import ...` fail
        first = importlib.util.module_from_spec(spec)
        try:
            spec.loader.exec_module(first)
            error = None
        except ImportError as exc:
            error = type(exc).__name__
        bound_before_failure = list(vars(first))[-3:]
        del sys.modules["vexlo_var"]
        second = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(second)
        report({"error": error, "partial": bound_before_failure, "new": second is not first,
                "complete": "Analyze" in vars(second) and "Analyze" not in vars(first)})
    """)
    assert got == {"error": "ModuleNotFoundError", "partial": ["__builtins__", "re", "parse"],
                   "new": True, "complete": True}


def test_second_interpreter_gets_the_interpreter_change_error():
    got = run_python("""
        import os, tempfile, _testcapi
        import querimo_main
        fd, out = tempfile.mkstemp()
        os.close(fd)
        code = (
            "try:\\n"
            "    import querimo_main\\n"
            "    outcome = 'imported'\\n"
            "except ImportError as exc:\\n"
            "    outcome = type(exc).__name__ + ': ' + str(exc)\\n"
            f"with open({out!r}, 'w') as fh:\\n"
            "    fh.write(outcome)\\n"
        )
        status = _testcapi.run_in_subinterp(code)
        with open(out) as fh:
            outcome = fh.read()
        os.unlink(out)
        report({"status": status, "outcome": outcome,
                "still_works": querimo_main.parse("select b from u") == {"select": {"value": "b"}, "from": "u"}})
    """)
    assert got == {
        "status": 0,
        "outcome": "ImportError: Interpreter change detected - this module can only be loaded "
                   "into one interpreter per process.",
        "still_works": True,
    }


def test_parse_is_the_working_sql_parser():
    assert querimo_main.parse("select a from t") == {"select": {"value": "a"}, "from": "t"}

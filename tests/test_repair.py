"""The parser bootstrap: when the parser cannot be imported, the parsing engine's
infix.py next to the installed `ply` is rewritten (atomically) and the parser is
imported again. Every case runs the module's start-up in a fresh interpreter over
a folder of stand-in packages, with the real installed packages out of reach."""

import importlib.util
import os

import pytest

from support.subprocess_python import run_python

OLD_LINE = "from collections import Iterable"
NEW_LINE = "from collections.abc import Iterable"
IMPORT_SYSTEM = ["__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"]
REPAIRED_NAMES = IMPORT_SYSTEM + [
    "__builtins__", "re", "os", "ply", "old", "new", "old_path", "new_path", "path", "f", "data",
    "parse", "VexloVar", "json", "VexloParseMain", "Analyze", "__test__"]
CLEAN_NAMES = IMPORT_SYSTEM + [
    "__builtins__", "re", "parse", "VexloVar", "json", "VexloParseMain", "Analyze", "__test__"]
REPAIR_GLOBALS = {"os", "ply", "old", "new", "old_path", "new_path", "path", "data", "f"}

# Where the modules under test live (a build folder or site-packages): the children
# run without site-packages, so these are put on their path explicitly.
MODULE_FOLDERS = list(dict.fromkeys(
    os.path.dirname(importlib.util.find_spec(name).origin) for name in ("querimo_main", "vexlo_var")))

# How the stand-in parser package behaves on import.
PARSERS = {
    # Imports the engine, which fails as long as it imports Iterable from collections.
    "engine": "from mo_parsing.infix import ENGINE\n"
              "def parse(text):\n    return ['parsed', text, ENGINE]\n",
    # Fails on its first import only, with the exception class named in {error}.
    "once": "import os\n"
            "flag = {flag!r}\n"
            "if not os.path.exists(flag):\n"
            "    open(flag, 'w').close()\n"
            "    raise {error}('first import fails')\n"
            "def parse(text):\n    return ['parsed', text]\n",
    "value_error": "raise ValueError('not an import problem')\n",
    # Has no `parse` at all.
    "no_parse": "",
    # Offers `parse` only as an entry of sys.modules, not as an attribute.
    "submodule": "import sys\n"
                 "def _parse(text):\n    return ['from sys.modules', text]\n"
                 "sys.modules[__name__ + '.parse'] = _parse\n",
}

RUNNER = """
import importlib.util, os, sys, tempfile
{setup}
spec = importlib.util.find_spec("querimo_main")
module = importlib.util.module_from_spec(spec)
sys.modules["querimo_main"] = module
try:
    spec.loader.exec_module(module)
    error = None
except BaseException as exc:
    context = exc.__context__
    error = [type(exc).__name__, str(exc),
             None if context is None else [type(context).__name__, str(context)]]
g = vars(module)
report({{
    "error": error,
    "names": list(g),
    "values": {{k: g[k] for k in ("old", "new", "old_path", "new_path", "path", "data") if k in g}},
    "os": g.get("os") is os,
    "ply": getattr(g.get("ply"), "__file__", None),
    "f_closed": getattr(g.get("f"), "closed", None),
    "parse": g["parse"]("select 1") if error is None else None,
}})
"""


class Site:
    """A folder of stand-in packages: ply, mo_parsing with infix.py, moz_sql_parser."""

    def __init__(self, root, infix=f"{OLD_LINE}\nENGINE = 'infix'\n", parser="engine",
                 error="ImportError", ply="package"):
        self.root = root / "site"
        self.flags = root / "flags"
        self.flags.mkdir()
        self.engine = self.root / "mo_parsing"
        self.engine.mkdir(parents=True)
        (self.engine / "__init__.py").write_text("")
        self.infix = self.engine / "infix.py"
        if infix is not None:
            self.infix.write_bytes(infix.encode())
        if ply == "package":
            (self.root / "ply").mkdir()
            (self.root / "ply" / "__init__.py").write_text("")
        elif ply == "module":
            (self.root / "ply.py").write_text(f"# {OLD_LINE}\n")
        elif ply == "broken":
            (self.root / "ply").mkdir()
            (self.root / "ply" / "__init__.py").write_text("raise ImportError('ply is broken')\n")
        (self.root / "moz_sql_parser").mkdir()
        (self.root / "moz_sql_parser" / "__init__.py").write_text(
            PARSERS[parser].format(flag=str(self.flags / "tried"), error=error))

    def files(self):
        return {os.path.relpath(os.path.join(folder, name), self.root)
                for folder, dirs, names in os.walk(self.root)
                if "__pycache__" not in folder for name in names}

    def start(self, setup=""):
        # The stand-ins come first, so the real packages beside an installed build
        # are never reached.
        return run_python(RUNNER.format(setup=setup), path_first=[self.root, *MODULE_FOLDERS],
                          no_site=True)


def first_import_error(got):
    context = got["error"][2]
    assert context is not None and context[0] == "ImportError"
    assert context[1].startswith("cannot import name 'Iterable' from 'collections'")


def test_repair_rewrites_every_occurrence_and_binds_its_globals(tmp_path):
    original = f"{OLD_LINE}\r\nENGINE = 'infix'\r\n# again: {OLD_LINE}\r\n"
    site = Site(tmp_path, infix=original)
    site.infix.chmod(0o640)
    files = site.files()

    got = site.start()

    assert got["error"] is None
    assert got["names"] == REPAIRED_NAMES
    assert got["values"] == {
        "old": OLD_LINE, "new": NEW_LINE,
        "old_path": "/ply/__init__.py", "new_path": "/mo_parsing/infix.py",
        "path": str(site.infix),
        "data": original.replace("\r\n", "\n"),    # as read in text mode
    }
    assert (got["os"], got["ply"], got["f_closed"]) == (True, str(site.root / "ply" / "__init__.py"),
                                                        True)
    assert got["parse"] == ["parsed", "select 1", "infix"]
    assert site.infix.read_bytes() == f"{NEW_LINE}\nENGINE = 'infix'\n# again: {NEW_LINE}\n".encode()
    assert site.infix.stat().st_mode & 0o7777 == 0o640
    assert site.files() == files                   # no temporary file left, nothing new


@pytest.mark.parametrize("error", ["ImportError", "ModuleNotFoundError"])
def test_any_import_error_starts_the_repair(tmp_path, error):
    site = Site(tmp_path, infix="a = 1\r\nb = 2\n", parser="once", error=error)
    got = site.start()
    assert got["error"] is None
    assert got["names"] == REPAIRED_NAMES
    assert got["parse"] == ["parsed", "select 1"]
    # Without the import line the text stays, with the platform's line endings.
    assert site.infix.read_bytes() == b"a = 1\nb = 2\n"


def test_other_errors_propagate_and_touch_nothing(tmp_path):
    site = Site(tmp_path, parser="value_error")
    before = site.infix.stat()
    got = site.start()
    assert got["error"] == ["ValueError", "not an import problem", None]
    assert got["names"] == IMPORT_SYSTEM + ["__builtins__", "re"]
    after = site.infix.stat()
    assert (after.st_mtime_ns, after.st_size) == (before.st_mtime_ns, before.st_size)


def test_parser_imported_cleanly_binds_no_repair_global(tmp_path):
    site = Site(tmp_path, parser="submodule")
    before = site.infix.read_bytes()
    got = site.start()
    assert got["error"] is None
    assert got["names"] == CLEAN_NAMES
    # `parse` came from sys.modules["moz_sql_parser.parse"].
    assert got["parse"] == ["from sys.modules", "select 1"]
    assert site.infix.read_bytes() == before


def test_a_name_that_cannot_be_imported_fails_after_the_repair(tmp_path):
    site = Site(tmp_path, parser="no_parse")
    got = site.start()
    # The name is filled in with str(), without quotes.
    assert got["error"] == ["ImportError", "cannot import name parse",
                            ["ImportError", "cannot import name parse"]]
    assert REPAIR_GLOBALS <= set(got["names"])
    # A file already rewritten stays rewritten.
    assert site.infix.read_text() == f"{NEW_LINE}\nENGINE = 'infix'\n"


def test_a_ply_file_outside_a_package_is_the_path_itself(tmp_path):
    site = Site(tmp_path, parser="once", ply="module")
    engine_text = site.infix.read_bytes()
    got = site.start()
    assert got["error"] is None
    assert got["values"]["path"] == str(site.root / "ply.py")
    assert (site.root / "ply.py").read_text() == f"# {NEW_LINE}\n"
    assert site.infix.read_bytes() == engine_text


def test_windows_separators_keep_their_backslashes(tmp_path):
    site = Site(tmp_path, parser="once")
    got = site.start(setup="os.name = 'nt'")
    assert got["error"] is None
    values = got["values"]
    assert (values["old_path"], values["new_path"]) == ("\\ply\\__init__.py", "\\mo_parsing\\infix.py")
    assert (len(values["old_path"]), len(values["new_path"])) == (16, 20)
    # A POSIX ply path holds no backslash suffix, so it is used unchanged.
    assert values["path"] == str(site.root / "ply" / "__init__.py")


FAILING_WRITER = """
import builtins, errno
real_open = builtins.open
class HalfWriter:
    # Writes part of the text, then fails like a full disk.
    def __init__(self, f): self.f = f
    def __enter__(self): return self
    def __exit__(self, *exc): self.f.close()
    @property
    def closed(self): return self.f.closed
    def write(self, text):
        self.f.write(text[:5]); self.f.flush()
        raise OSError(errno.ENOSPC, "No space left on device")
def failing_open(file, mode="r", *args, **kwargs):
    f = real_open(file, mode, *args, **kwargs)
    return HalfWriter(f) if "w" in mode else f
builtins.open = failing_open
"""


def failing(target, exc):
    return f"def _fail(*args, **kwargs):\n    raise {exc}\n{target} = _fail\n"


@pytest.mark.parametrize("setup, error", [
    (FAILING_WRITER, ["OSError", "[Errno 28] No space left on device"]),
    (failing("os.replace", "OSError(18, 'Invalid cross-device link')"),
     ["OSError", "[Errno 18] Invalid cross-device link"]),
    (failing("os.chmod", "PermissionError(1, 'Operation not permitted')"),
     ["PermissionError", "[Errno 1] Operation not permitted"]),
    # As a folder without write permission would (the tests may run as root).
    (failing("tempfile.mkstemp", "PermissionError(13, 'Permission denied')"),
     ["PermissionError", "[Errno 13] Permission denied"]),
], ids=["write", "replace", "chmod", "create"])
def test_a_failing_write_leaves_the_file_whole(tmp_path, setup, error):
    site = Site(tmp_path)
    original = site.infix.read_bytes()
    files = site.files()
    got = site.start(setup)
    assert got["error"][:2] == error
    first_import_error(got)
    assert site.infix.read_bytes() == original
    assert site.files() == files


def test_a_broken_ply_fails_with_the_first_error_as_context(tmp_path):
    site = Site(tmp_path, ply="broken")
    got = site.start()
    assert got["error"][:2] == ["ImportError", "ply is broken"]
    first_import_error(got)
    assert got["names"][-2:] == ["re", "os"]


def test_a_missing_engine_file_fails_with_the_first_error_as_context(tmp_path):
    site = Site(tmp_path, infix=None, parser="once")
    got = site.start()
    assert got["error"][0] == "FileNotFoundError"
    assert got["error"][2] == ["ImportError", "first import fails"]
    assert "f" not in got["names"] and got["values"]["path"] == str(site.infix)
    assert site.files() == {"mo_parsing/__init__.py", "ply/__init__.py", "moz_sql_parser/__init__.py"}



def test_a_repaired_file_is_not_rewritten_by_the_next_process(tmp_path):
    site = Site(tmp_path)
    assert site.start()["error"] is None
    repaired = site.infix.read_bytes()
    before = site.infix.stat()

    got = site.start()  # a fresh interpreter: the parser now imports cleanly

    assert got["error"] is None
    assert got["names"] == CLEAN_NAMES
    assert got["parse"] == ["parsed", "select 1", "infix"]
    after = site.infix.stat()
    assert (after.st_ino, after.st_mtime_ns, after.st_size) == (before.st_ino, before.st_mtime_ns,
                                                                 before.st_size)
    assert site.infix.read_bytes() == repaired
    assert site.files() == {"mo_parsing/__init__.py", "mo_parsing/infix.py", "ply/__init__.py",
                            "moz_sql_parser/__init__.py"}


# Records every file-system change the start-up asks for, through the audit hooks
# of open, os.open, rename/replace, remove, chmod and mkdir.
AUDITED_START = """
import importlib.util, os, sys
WRITE_FLAGS = os.O_WRONLY | os.O_RDWR | os.O_CREAT | os.O_APPEND | os.O_TRUNC
changes = []
def hook(event, args):
    if event == "open":
        path, mode, flags = args
        writing = any(c in mode for c in "wax+") if isinstance(mode, str) else bool(flags & WRITE_FLAGS)
        if writing and not isinstance(path, int):  # a descriptor was opened by name before
            changes.append([event, os.fsdecode(path)])
    elif event in ("os.rename", "os.remove", "os.chmod", "os.mkdir", "os.rmdir", "os.truncate",
                   "shutil.copyfile", "shutil.move"):
        changes.extend([event, os.fsdecode(p)] for p in args[:2] if isinstance(p, (str, bytes)))
{setup}
spec = importlib.util.find_spec("querimo_main")
module = importlib.util.module_from_spec(spec)
sys.modules["querimo_main"] = module
sys.addaudithook(hook)
try:
    spec.loader.exec_module(module)
    error = None
except BaseException as exc:
    error = type(exc).__name__
report({{"error": error, "changes": changes, "path": getattr(module, "path", None)}})
"""


@pytest.mark.parametrize("setup", ["", FAILING_WRITER, failing("os.replace", "OSError(18, 'x')")],
                         ids=["repair", "failing write", "failing replace"])
def test_the_repair_writes_only_inside_the_engine_folder(tmp_path, setup):
    site = Site(tmp_path)
    got = run_python(AUDITED_START.format(setup=setup), path_first=[site.root, *MODULE_FOLDERS],
                     no_site=True)
    assert got["path"] == str(site.infix)
    events = {event for event, _ in got["changes"]}
    # The temporary file is made, and on success moved over infix.py; on failure removed.
    assert "open" in events and ("os.rename" in events or "os.remove" in events)
    for event, path in got["changes"]:
        assert os.path.dirname(os.path.abspath(path)) == str(site.engine), (event, path)

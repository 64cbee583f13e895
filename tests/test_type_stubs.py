"""The type stubs of querimo_main and vexlo_var: mypy reads them, catches misuse
with them, and they describe what the modules really offer."""

import importlib.util
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("mypy", reason="mypy is not installed (it comes with the test extra)")

REPO = Path(__file__).resolve().parent.parent
STUBS = REPO / "stubs"
MODULES = ("querimo_main", "vexlo_var")

USAGE = textwrap.dedent("""\
    from querimo_main import Analyze, VexloParseMain
    from vexlo_var import PathMatch, VexloVar

    front_end = VexloParseMain()
    records = front_end._parse_sql("select t.id as uid from db.users t")
    reveal_type(records)
    for record in records:
        reveal_type(record.database)
        where: str = record.table + "." + record.src + " -> " + record.tgt
    reveal_type(VexloParseMain._re_hint("select 1 -- note"))
    reveal_type(Analyze({"select": {"value": "a"}}).analyze_sql(1))
    tree = VexloVar({"a": {"b": 1}})
    matches: list[PathMatch] = tree.find("$..b")
    paths = [m.full_path for m in matches]
    reveal_type(tree.find("$.a", 1))
    tree.extra = 3
    reveal_type(tree.extra)
""")

MISUSE = textwrap.dedent("""\
    from querimo_main import VexloParseMain
    from vexlo_var import VexloVar

    record = VexloParseMain()._parse_sql("select a from t")[0]
    table: str = record.database
    VexloParseMain()._parse_sql(b"select a from t")
    VexloParseMain(1)
    count: int = VexloParseMain._re_hint("select 1")
    VexloVar().find("$.a", 1, 2)
    VexloVar().find(1)
""")


def run_mypy(tmp_path, source, *args, stubs_from_repo=True):
    program = tmp_path / "program.py"
    program.write_text(source)
    env = dict(os.environ)
    if stubs_from_repo:
        # The repository's stubs, as plain module stubs, ahead of anything installed.
        search = tmp_path / "stubs"
        search.mkdir(exist_ok=True)
        for module in MODULES:
            shutil.copy(STUBS / f"{module}-stubs" / "__init__.pyi", search / f"{module}.pyi")
        env["MYPYPATH"] = str(search)
    else:
        env.pop("MYPYPATH", None)
    completed = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--hide-error-context",
         "--cache-dir", str(tmp_path / "cache"), "--python-executable", sys.executable,
         *args, str(program)],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=300,
    )
    # Messages as "line: kind: text", with type names as recent mypy versions print them.
    lines = [line.split(":", 1)[1].replace("builtins.", "")
             for line in completed.stdout.splitlines() if line.startswith("program.py:")]
    return completed, lines


EXPECTED_USAGE = [
    '6: note: Revealed type is "list[vexlo_var.VexloVar]"',
    '8: note: Revealed type is "str | None"',
    '10: note: Revealed type is "str"',
    '11: note: Revealed type is "list[tuple[str, str, str]]"',
    '15: note: Revealed type is "Any"',
    '17: note: Revealed type is "Any"',
]


def test_usage_of_the_public_api_type_checks(tmp_path):
    completed, lines = run_mypy(tmp_path, USAGE)
    assert lines == EXPECTED_USAGE, completed.stdout + completed.stderr
    assert completed.returncode == 0


def test_misuse_is_reported(tmp_path):
    completed, lines = run_mypy(tmp_path, MISUSE)
    errors = [(line.split(":")[0], line.rsplit("[", 1)[-1].rstrip("]"))
              for line in lines if ": error: " in line]
    assert errors == [
        ("5", "assignment"),   # database may be None
        ("6", "arg-type"),     # bytes, not str
        ("7", "call-arg"),     # the constructor takes nothing
        ("8", "assignment"),   # _re_hint gives str
        ("9", "call-overload"),
        ("10", "call-overload"),
    ], completed.stdout


def test_stubs_describe_the_modules_at_run_time(tmp_path):
    # stubtest imports the modules and compares every name and signature it can
    # see with the stubs; the allowlist explains the few differences it cannot judge.
    search = tmp_path / "stubs"
    search.mkdir()
    for module in MODULES:
        shutil.copy(STUBS / f"{module}-stubs" / "__init__.pyi", search / f"{module}.pyi")
    completed = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--ignore-unused-allowlist",
         "--allowlist", str(STUBS / "stubtest-allowlist.txt"), *MODULES],
        capture_output=True, text=True, env={**os.environ, "MYPYPATH": str(search)},
        cwd=tmp_path, timeout=300,
    )
    assert completed.returncode == 0, completed.stdout + completed.stderr


def test_an_installation_puts_the_stubs_where_mypy_finds_them(tmp_path):
    spec = importlib.util.find_spec("querimo_main")
    assert spec is not None and spec.origin is not None
    folder = Path(spec.origin).parent
    if "site-packages" not in folder.parts:
        pytest.skip(f"querimo_main comes from {folder}, not from an installation")
    for module in MODULES:
        assert (folder / f"{module}-stubs" / "__init__.pyi").is_file()
    completed, lines = run_mypy(tmp_path, USAGE, stubs_from_repo=False)
    assert lines == EXPECTED_USAGE, completed.stdout + completed.stderr


def test_the_command_package_type_checks_against_the_stubs(tmp_path):
    search = tmp_path / "stubs"
    search.mkdir()
    for module in MODULES:
        shutil.copy(STUBS / f"{module}-stubs" / "__init__.pyi", search / f"{module}.pyi")
    completed = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
         "--python-executable", sys.executable, str(REPO / "python" / "sql_lineage")],
        capture_output=True, text=True, env={**os.environ, "MYPYPATH": str(search)},
        cwd=tmp_path, timeout=300,
    )
    assert completed.returncode == 0, completed.stdout + completed.stderr

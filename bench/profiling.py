"""Where the analysis of one typical statement spends its time, from perf
(with Python's perf trampoline, so Python functions show by name), or from
callgrind where perf cannot record.

Run as a script it is the profiled child: it analyses the statement in a loop.
"""

from __future__ import annotations

import re
import shutil
import subprocess
import sys
import tempfile
from collections.abc import Sequence
from pathlib import Path

from common import BENCH, RESULTS, Section

# Two sub-queries joined, with renames: the common shape of a reporting query.
TYPICAL = (
    "select c.customer_id as customer, c.region, o.total_amount as revenue\n"
    "from (select cust_id as customer_id, region from crm.customers where active = 1) c\n"
    "join (select s.cust_id, s.amount as total_amount from sales.orders s) o\n"
    "on c.customer_id = o.cust_id"
)

# Frames that only say "the interpreter is running something".
_GENERIC = re.compile(
    r"^(0x[0-9a-f]+|_PyEval_EvalFrameDefault|_PyEval_Vector|PyEval_EvalCode|_PyObject_VectorcallTstate"
    r"|PyObject_Vectorcall(Method)?|_PyObject_MakeTpCall|_PyObject_Call(Prepend)?|PyObject_Call(OneArg)?"
    r"|_PyFunction_Vectorcall|cfunction_vectorcall\w*|method_vectorcall\w*|vectorcall_\w+|slot_tp_\w+"
    r"|type_call|py::<module>.*|_start|__libc_start\w*|main|Py_\w*Main\w*|pymain_\w+|run_\w+"
    r"|_PyRun_\w+|PyRun_\w+|py::child:.*|_PyEval_\w+Frame\w*|\[unknown\]|_Py_RunMain|py_trampoline\w*)$"
)


def statement(kind: str) -> str:
    if kind == "deep":
        from workloads import depth_sql

        return depth_sql(8)
    return TYPICAL


def child(kind: str, iterations: int) -> None:
    import querimo_main

    tree = querimo_main.parse(statement(kind))
    for _ in range(iterations):
        querimo_main.Analyze(tree).analyze_sql()


def _perf_rows(data: Path, children: bool, limit: int) -> list[tuple[float, float, str, str]]:
    """(inclusive share, self share, library, function), largest first."""
    command = ["perf", "report", "-i", str(data), "--stdio", "-g", "none", "--percent-limit", "0.3",
               "--children" if children else "--no-children", "--sort", "dso,sym"]
    output = subprocess.run(command, capture_output=True, text=True, timeout=300).stdout
    best: dict[tuple[str, str], tuple[float, float]] = {}
    for line in output.splitlines():
        match = re.match(r"\s*([\d.]+)%\s+(?:([\d.]+)%\s+)?(.+?)\s+\[[.k]\]\s+(.*?)\s*$", line)
        if not match:
            continue
        share = float(match[1])
        own = float(match[2]) if match[2] else share
        dso = "python" if match[3].startswith("[JIT]") else match[3]
        symbol = match[4].replace(" (inlined)", "")
        if children and _GENERIC.match(symbol):
            continue
        # The same function can appear once per inlining site; keep its largest share.
        if share > best.get((dso, symbol), (0.0, 0.0))[0]:
            best[dso, symbol] = (share, own)
    ordered = sorted(((s, o, d, y) for (d, y), (s, o) in best.items()), reverse=True)
    return ordered[:limit]


def _perf_libraries(data: Path) -> list[tuple[float, str]]:
    command = ["perf", "report", "-i", str(data), "--stdio", "-g", "none", "--no-children",
               "--sort", "dso"]
    output = subprocess.run(command, capture_output=True, text=True, timeout=300).stdout
    shares: dict[str, float] = {}
    for line in output.splitlines():
        match = re.match(r"\s*([\d.]+)%\s+(.+?)\s*$", line)
        if match:
            name = "python (JIT trampolines)" if match[2].startswith("[JIT]") else match[2]
            shares[name] = shares.get(name, 0.0) + float(match[1])
    return sorted(((v, k) for k, v in shares.items()), reverse=True)[:10]


def _short(symbol: str) -> str:
    symbol = re.sub(r"/\S*/lib/python3\.13/", "", symbol)
    return symbol if len(symbol) <= 90 else symbol[:87] + "..."


def _record(perf: str, folder: str, kind: str, iterations: int) -> tuple[Path | None, str]:
    data = Path(folder) / f"perf-{kind}.data"
    record = [perf, "record", "-F", "999", "--call-graph", "dwarf,16384", "-o", str(data), "--",
              sys.executable, "-X", "perf", str(BENCH / "profiling.py"), kind, str(iterations)]
    done = subprocess.run(record, capture_output=True, text=True, timeout=600)
    if done.returncode != 0 or not data.exists():
        return None, done.stderr.strip()[-200:]
    return data, ""


def _with_perf(section: Section, quick: bool) -> bool:
    perf = shutil.which("perf")
    if perf is None:
        return False
    iterations = 15000 if quick else 40000
    with tempfile.TemporaryDirectory(dir=RESULTS) as folder:
        data, error = _record(perf, folder, "typical", iterations)
        if data is None:
            section.notes.append("perf could not record here: " + error)
            return False
        self_rows = _perf_rows(data, children=False, limit=15)
        by_library = _perf_libraries(data)
        inclusive = _perf_rows(data, children=True, limit=25)
        deep_iterations = 300 if quick else 800
        deep, _error = _record(perf, folder, "deep", deep_iterations)
        deep_rows = _perf_rows(deep, children=True, limit=15) if deep is not None else []
    section.columns = ["share of samples (self)", "where", "function"]
    section.rows = [[f"{s:.1f}%", dso, _short(sym)] for s, _own, dso, sym in self_rows]
    section.extra_tables.append((
        "Inclusive cost (the function and everything it calls), interpreter dispatch frames left out",
        ["inclusive", "self", "where", "function"],
        [[f"{s:.1f}%", f"{o:.1f}%", dso, _short(sym)] for s, o, dso, sym in inclusive],
    ))
    section.extra_tables.append((
        "Self time by library", ["share of samples", "library"],
        [[f"{share:.1f}%", name] for share, name in by_library]))
    if deep_rows:
        section.extra_tables.append((
            f"The same for sub-queries nested 8 deep (the depth benchmark's D=8 statement, "
            f"{deep_iterations} analyses), inclusive",
            ["inclusive", "self", "where", "function"],
            [[f"{s:.1f}%", f"{o:.1f}%", dso, _short(sym)] for s, o, dso, sym in deep_rows],
        ))
    section.notes.append(
        "Inclusive shares are lower bounds: perf cannot always unwind the whole chain through the "
        "interpreter, so some samples reach no caller.")
    section.notes.append(
        f"perf record -F 999 --call-graph dwarf over {iterations:,} analyses of one statement "
        "(Analyze(tree).analyze_sql() on a tree parsed once), Python run with -X perf; "
        "'py::' entries are Python functions. The statement:\n\n    " + TYPICAL.replace("\n", "\n    "))
    section.data["self"] = self_rows
    section.data["inclusive"] = inclusive
    section.data["libraries"] = by_library
    section.data["deep_inclusive"] = deep_rows
    return True


def _with_callgrind(section: Section, quick: bool) -> bool:
    valgrind = shutil.which("valgrind")
    annotate = shutil.which("callgrind_annotate")
    if valgrind is None or annotate is None:
        return False
    iterations = 200 if quick else 1000
    with tempfile.TemporaryDirectory(dir=RESULTS) as folder:
        out = Path(folder) / "callgrind.out"
        done = subprocess.run([valgrind, "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable,
                               str(BENCH / "profiling.py"), "typical", str(iterations)],
                              capture_output=True, text=True, timeout=900)
        if done.returncode != 0 or not out.exists():
            return False
        self_text = subprocess.run([annotate, str(out)], capture_output=True, text=True).stdout
        incl_text = subprocess.run([annotate, "--inclusive=yes", str(out)], capture_output=True, text=True).stdout

    def rows(text: str, limit: int) -> list[Sequence[object]]:
        found: list[Sequence[object]] = []
        for line in text.splitlines():
            match = re.match(r"\s*([\d,]+)\s+\(\s*([\d.]+)%\)\s+(\S+?):(.+?)(\s\[.*\])?$", line)
            if match and not _GENERIC.match(match[4].strip()):
                found.append([f"{float(match[2]):.1f}%", Path(match[3]).name, _short(match[4].strip())])
        return found[:limit]

    section.columns = ["share of instructions (self)", "where", "function"]
    section.rows = rows(self_text, 15)
    section.extra_tables.append(("Inclusive cost", ["share of instructions", "where", "function"],
                                 rows(incl_text, 25)))
    section.notes.append(f"valgrind --tool=callgrind over {iterations:,} analyses of one statement.")
    return True


def run(quick: bool) -> Section:
    section = Section("profile", "Profile: analysis of one typical statement", ["share", "where", "function"])
    if not _with_perf(section, quick) and not _with_callgrind(section, quick):
        section.notes.append("no profiler could run here (perf and callgrind both unavailable)")
    return section


if __name__ == "__main__":
    child(sys.argv[1], int(sys.argv[2]))

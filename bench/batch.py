"""Throughput of the sql-lineage command over a folder of statements, with one
worker process against one per core, on distinct and on repeated statements."""

from __future__ import annotations

import os
import random
import resource
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from common import RESULTS, Goal, Section, clock, fmt_ratio, median
from overhead import usable_statements
from workloads import distinct_statements

STATEMENTS = 1000
PER_FILE = 20


def find_tool() -> list[str] | None:
    """How to start sql-lineage from this environment, or None when it is not installed."""
    script = Path(sys.executable).with_name("sql-lineage")
    if script.exists():
        return [str(script)]
    found = shutil.which("sql-lineage")
    if found:
        return [found]
    try:
        import importlib.util

        if importlib.util.find_spec("sql_lineage") is not None:
            return [sys.executable, "-m", "sql_lineage"]
    except (ImportError, ValueError):
        pass
    return None


def _children_cpu() -> float:
    """Processor seconds used by every finished child process (workers included)."""
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def _write_folder(folder: Path, statements: list[str]) -> None:
    folder.mkdir(parents=True)
    for start in range(0, len(statements), PER_FILE):
        chunk = statements[start:start + PER_FILE]
        (folder / f"queries_{start // PER_FILE:03d}.sql").write_text("\n;\n\n".join(chunk) + "\n;\n",
                                                                     encoding="utf-8")


def _checked_mix(base: list[str], count: int) -> list[str]:
    """`count` distinct statements the module analyses without an error."""
    import contextlib
    import io

    import querimo_main

    front = querimo_main.VexloParseMain()
    good: list[str] = []
    attempt = 0
    while len(good) < count and attempt < 4:
        for sql in distinct_statements(base, count * (attempt + 1), seed=attempt):
            if len(good) >= count:
                break
            if sql in good:
                continue
            try:
                with contextlib.redirect_stdout(io.StringIO()):
                    front._parse_sql(sql)
            except Exception:
                continue
            good.append(sql)
        attempt += 1
    return good[:count]


def run(quick: bool) -> Section:
    section = Section("batch", "7. Batch throughput: sql-lineage over a folder of 1,000 statements",
                      ["folder", "-j 1", "-j N", "statements/s (-j 1)", "statements/s (-j N)", "speed-up",
                       "cores busy (-j N)"])
    tool = find_tool()
    cores = os.cpu_count() or 1
    if tool is None:
        section.notes.append("not available: the sql-lineage command is not installed in this environment")
        section.goals.append(Goal("-j per core >= 1.7x the throughput of -j 1", "not available", None))
        section.goals.append(Goal("repeated statements analysed once per run", "not available", None))
        return section

    rounds = 2 if quick else 3
    base = [sql.strip().rstrip(";") for _label, sql in usable_statements()[0]]
    distinct = _checked_mix(base, STATEMENTS)
    repeated_source = distinct[: STATEMENTS // 10]
    repeated = [sql for sql in repeated_source for _ in range(10)]
    random.Random(7).shuffle(repeated)

    work = Path(tempfile.mkdtemp(prefix="batch-", dir=RESULTS))
    try:
        folders = {"1,000 distinct": work / "distinct", "100 distinct x 10": work / "repeated",
                   "1 statement (start-up)": work / "single"}
        _write_folder(folders["1,000 distinct"], distinct)
        _write_folder(folders["100 distinct x 10"], repeated)
        _write_folder(folders["1 statement (start-up)"], distinct[:1])
        load_before = os.getloadavg()[0]
        jobs = [1, cores]
        times: dict[tuple[str, int], list[int]] = {(f, j): [] for f in folders for j in jobs}
        outputs: dict[tuple[str, int], str] = {}
        cpu: dict[tuple[str, int], list[float]] = {(f, j): [] for f in folders for j in jobs}
        failures: list[str] = []
        for index in range(rounds):
            order = [(f, j) for f in folders for j in jobs]
            if index % 2:
                order.reverse()
            for folder, j in order:
                command = tool + ["-j", str(j), "-q", "--no-progress", "-f", "csv", str(folders[folder])]
                used_before = _children_cpu()
                start = clock()
                done = subprocess.run(command, capture_output=True, text=True)
                times[folder, j].append(clock() - start)
                cpu[folder, j].append(_children_cpu() - used_before)
                if done.returncode != 0:
                    failures.append(f"{folder} -j {j}: exit {done.returncode}: {done.stderr.strip()[:200]}")
                outputs.setdefault((folder, j), done.stdout)
        speedups = {}
        busy_distinct = float("nan")
        for folder in folders:
            one, many = median(times[folder, 1]), median(times[folder, cores])
            speedups[folder] = one / many
            count = 1 if folder.startswith("1 statement") else STATEMENTS
            busy = median(cpu[folder, cores]) / (many / 1e9)
            if folder == "1,000 distinct":
                busy_distinct = busy
            section.rows.append([folder, f"{one / 1e9:.2f} s", f"{many / 1e9:.2f} s",
                                 f"{count / (one / 1e9):.0f}", f"{count / (many / 1e9):.0f}",
                                 fmt_ratio(one / many), f"{busy:.2f}"])
        same = all(outputs[f, 1] == outputs[f, cores] for f in folders)
        section.goals.append(Goal(
            f"-j {cores} (one per core) >= 1.7x the throughput of -j 1 (1,000 distinct statements)",
            f"{fmt_ratio(speedups['1,000 distinct'])} (cores busy {busy_distinct:.2f} of {cores}; "
            f"load average {load_before:.2f} before)", speedups["1,000 distinct"] >= 1.7))
        start_up = median(times["1 statement (start-up)", 1])
        distinct_ns = median(times["1,000 distinct", 1])
        repeated_ns = median(times["100 distinct x 10", 1])
        reuse_gain = distinct_ns / repeated_ns
        reuse_gain_work = (distinct_ns - start_up) / max(repeated_ns - start_up, 1.0)
        section.goals.append(Goal(
            "repeats analysed once: 100 statements x 10 against 1,000 distinct, -j 1",
            f"{fmt_ratio(reuse_gain)} faster ({fmt_ratio(reuse_gain_work)} leaving out the start-up)",
            None))
        section.goals.append(Goal("output with workers identical to one process",
                                  "identical" if same else "DIFFERENT", same))
        section.notes.append(
            f"{STATEMENTS} statements in files of {PER_FILE}, made from the corpus by renaming identifiers; "
            f"wall time of the whole command (start-up included), median of {rounds} interleaved runs.")
        section.notes.append(
            f"N = {cores}, the number of cores. 'cores busy' is the processor time of the command and "
            "its workers over its wall time: below the number of workers, they waited for a core "
            "(or for work).")
        load_after = os.getloadavg()[0]
        section.notes.append(
            f"Load average (1 min) {load_before:.2f} before and {load_after:.2f} after the runs, on "
            f"{cores} cores: anything else running takes cores from the workers, and the speed-up "
            "with it.")
        if failures:
            section.notes.append("Runs that reported failures: " + "; ".join(failures[:4]))
        section.data["seconds"] = {f"{f} -j {j}": median(v) / 1e9 for (f, j), v in times.items()}
        section.plots.append(_plot({f: [STATEMENTS / (median(times[f, j]) / 1e9) for j in jobs]
                                    for f in folders if not f.startswith("1 statement")}, jobs))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return section


def _plot(throughput: dict[str, list[float]], jobs: list[int]) -> str:
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7, 4))
    width = 0.8 / len(jobs)
    for index, j in enumerate(jobs):
        positions = [k + index * width for k in range(len(throughput))]
        ax.bar(positions, [values[index] for values in throughput.values()], width, label=f"-j {j}")
    ax.set_xticks([k + width * (len(jobs) - 1) / 2 for k in range(len(throughput))], list(throughput))
    ax.set_ylabel("statements per second (start-up included)")
    ax.set_title("sql-lineage over a folder of 1,000 statements")
    ax.legend(fontsize=8)
    fig.tight_layout()
    name = "batch.png"
    fig.savefig(RESULTS / name, dpi=110)
    plt.close(fig)
    return name

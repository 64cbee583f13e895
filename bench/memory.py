"""Resident memory over many _parse_sql calls, in a process of its own.

Run as a script it is the measuring child: it cycles through a mix of corpus
statements and prints its resident memory at chosen call counts as JSON.
"""

from __future__ import annotations

import contextlib
import gc
import io
import json
import os
import subprocess
import sys
import time

from common import BENCH, RESULTS, Goal, Section

PAGE = os.sysconf("SC_PAGE_SIZE")
MIX_LIMIT = 400  # characters


def resident_bytes() -> int:
    with open("/proc/self/statm", encoding="ascii") as handle:
        return int(handle.read().split()[1]) * PAGE


def child(baseline: int, total: int) -> None:
    import querimo_main

    from overhead import usable_statements

    # The everyday statements of the corpus; the two very wide ones would make
    # the run several times longer and check nothing the others do not.
    mix = [sql for _label, sql in usable_statements()[0] if len(sql) <= MIX_LIMIT]
    front = querimo_main.VexloParseMain()
    checkpoints = sorted({baseline, total} | {c for c in (2000, 5000, 10000, 20000, 50000) if baseline < c < total})
    readings = []
    start = time.perf_counter()
    done = 0
    sink = io.StringIO()
    for checkpoint in checkpoints:
        with contextlib.redirect_stdout(sink):
            while done < checkpoint:
                front._parse_sql(mix[done % len(mix)])
                done += 1
        gc.collect()
        readings.append({"calls": done, "rss": resident_bytes(),
                         "seconds": time.perf_counter() - start})
    json.dump({"statements_in_mix": len(mix), "readings": readings}, sys.stdout)


def run(quick: bool) -> Section:
    baseline, total = (2000, 20000) if quick else (1000, 100000)
    process = subprocess.run(
        [sys.executable, str(BENCH / "memory.py"), str(baseline), str(total)],
        stdout=subprocess.PIPE, text=True, cwd=str(BENCH),
    )
    output = process.stdout
    section = Section("memory", "6. Memory: resident memory over repeated _parse_sql calls",
                      ["calls", "resident memory", "change since baseline", "elapsed"])
    if process.returncode != 0:
        section.notes.append(f"the measuring process failed (exit status {process.returncode})")
        section.goals.append(Goal("no growth beyond noise (< 1 MB)", "not measured", None))
        return section
    data = json.loads(output)
    readings = data["readings"]
    first = next(r for r in readings if r["calls"] == baseline)
    for reading in readings:
        section.rows.append([f"{reading['calls']:,}", f"{reading['rss'] / 2**20:.2f} MB",
                             f"{(reading['rss'] - first['rss']) / 2**20:+.2f} MB",
                             f"{reading['seconds']:.0f} s"])
    last = readings[-1]
    growth = (last["rss"] - first["rss"]) / 2**20
    section.goals.append(Goal(
        f"no growth beyond noise (< 1 MB) from {baseline:,} to {last['calls']:,} calls",
        f"{growth:+.2f} MB", growth < 1.0))
    section.notes.append(
        f"A fresh process cycles through {data['statements_in_mix']} corpus statements (those of "
        f"at most {MIX_LIMIT} characters); "
        "the resident size (from /proc/self/statm) is read after a full garbage collection.")
    section.data.update(data)
    section.plots.append(_plot(readings))
    return section


def _plot(readings: list[dict]) -> str:
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7, 4))
    ax.plot([r["calls"] for r in readings], [r["rss"] / 2**20 for r in readings], marker="o")
    ax.set_xscale("log")
    ax.set_xlabel("_parse_sql calls (log)")
    ax.set_ylabel("resident memory (MB)")
    ax.set_title("Resident memory over repeated calls")
    fig.tight_layout()
    name = "memory.png"
    fig.savefig(RESULTS / name, dpi=110)
    plt.close(fig)
    return name


if __name__ == "__main__":
    child(int(sys.argv[1]), int(sys.argv[2]))

"""Runs the benchmarks, prints their tables and writes bench/results/report.md,
results.json and the PNG plots.

    python bench/run.py [--quick] [--only overhead,width,depth,union,peers,full,memory,batch,profile]

The memory run takes minutes of parser calls in a fresh process of its own;
it runs after the timing benchmarks rather than beside them, so that it takes
no core from them (the batch benchmark needs every core).
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import os
import sys
import time
from collections.abc import Sequence

import matplotlib

matplotlib.use("Agg")

from common import RESULTS, Goal, Section, environment  # noqa: E402

ALL = ["overhead", "width", "depth", "union", "peers", "full", "memory", "batch", "profile"]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="fewer rounds and smaller sizes (about two minutes)")
    parser.add_argument("--only", default=",".join(ALL),
                        help="comma-separated benchmarks to run (default: all): " + ",".join(ALL))
    parser.add_argument("--compare", metavar="RESULTS_JSON",
                        help="an earlier run's results.json: its figures go beside this run's goals")
    args = parser.parse_args(argv)
    chosen = [name.strip() for name in args.only.split(",") if name.strip()]
    unknown = sorted(set(chosen) - set(ALL))
    if unknown:
        parser.error("unknown benchmark: " + ", ".join(unknown))
    RESULTS.mkdir(parents=True, exist_ok=True)
    before = load_before(args.compare) if args.compare else None
    os.environ.pop("QUERIMO_REUSE_SUBQUERIES", None)

    import querimo_main

    started = time.perf_counter()
    print(f"querimo_main from {querimo_main.__file__}", flush=True)
    print(f"mode: {'quick' if args.quick else 'full'}; results in {RESULTS}", flush=True)

    sections: list[Section] = []

    def timed(name: str, function) -> None:  # type: ignore[no-untyped-def]
        if name not in chosen:
            return
        print(f"\n... {name}", flush=True)
        begin, load = time.perf_counter(), os.getloadavg()[0]
        section = function(args.quick)
        section.seconds = time.perf_counter() - begin
        section.load = (load, os.getloadavg()[0])
        sections.append(section)
        print_section(section)

    import overhead
    import peers
    import scaling

    timed("overhead", overhead.run)
    timed("overhead", overhead.run_short)
    timed("width", scaling.run_width)
    timed("depth", scaling.run_depth)
    timed("union", scaling.run_union)
    timed("peers", peers.run)

    import peer_exactness

    timed("full", peer_exactness.run)

    import batch
    import memory
    import profiling

    timed("batch", batch.run)
    timed("memory", memory.run)
    timed("profile", profiling.run)

    elapsed = time.perf_counter() - started
    print_goals(sections, before)
    write_report(sections, args.quick, elapsed, before)
    print(f"\nreport: {RESULTS / 'report.md'} ({elapsed:.0f} s)")
    return 0


# Output.

def _table(columns: Sequence[object], rows: Sequence[Sequence[object]]) -> list[str]:
    cells = [[str(c) for c in columns]] + [[str(c) for c in row] for row in rows]
    widths = [max(len(row[i]) if i < len(row) else 0 for row in cells) for i in range(len(columns))]
    lines = []
    for index, row in enumerate(cells):
        lines.append("  ".join(cell.ljust(widths[i]) for i, cell in enumerate(row)).rstrip())
        if index == 0:
            lines.append("  ".join("-" * w for w in widths))
    return lines


def _took(section: Section) -> str:
    before, after = section.load
    return (f"{section.seconds:.0f} s; load average {before:.2f} before, {after:.2f} after, "
            f"on {os.cpu_count()} cores")


def _goal_status(goal: Goal) -> str:
    if goal.met is None and goal.measured.startswith("not "):
        return "not measured"
    return {True: "met", False: "NOT met", None: "reported"}[goal.met]


def print_section(section: Section) -> None:
    print(f"\n== {section.title} ({_took(section)})")
    if section.rows:
        print("\n".join(_table(section.columns, section.rows)))
    for title, columns, rows in section.extra_tables:
        print(f"\n{title}:")
        print("\n".join(_table(columns, rows)))
    for note in section.notes:
        print(f"note: {note}")
    for goal in section.goals:
        print(f"goal: {goal.text}: {goal.measured} -> {_goal_status(goal)}")
    sys.stdout.flush()


def load_before(path: str) -> dict[str, str]:
    """Goal text -> measured figure, from an earlier run's results.json."""
    with open(path, encoding="utf-8") as handle:
        raw = json.load(handle)
    return {goal["text"]: goal["measured"] for section in raw.values() for goal in section["goals"]}


def _goal_rows(sections: list[Section], before: dict[str, str] | None) -> tuple[list[str], list[list[str]]]:
    columns = ["goal", "measured", "status"]
    rows = [[g.text, g.measured, _goal_status(g)] for s in sections for g in s.goals]
    if before is not None:
        columns.insert(1, "before")
        for row in rows:
            row.insert(1, before.get(row[0], "-"))
    return columns, rows


def print_goals(sections: list[Section], before: dict[str, str] | None = None) -> None:
    print("\n== Goals")
    print("\n".join(_table(*_goal_rows(sections, before))))


def _md_table(columns: Sequence[object], rows: Sequence[Sequence[object]]) -> list[str]:
    def cell(value: object) -> str:
        return str(value).replace("|", "\\|").replace("\n", " ")

    lines = ["| " + " | ".join(cell(c) for c in columns) + " |",
             "|" + "|".join("---" for _ in columns) + "|"]
    lines += ["| " + " | ".join(cell(c) for c in row) + " |" for row in rows]
    return lines


def write_report(sections: list[Section], quick: bool, elapsed: float,
                 before: dict[str, str] | None = None) -> None:
    env = environment()
    lines = [
        "# querimo_main benchmarks",
        "",
        f"Mode: {'quick' if quick else 'full'}; total {elapsed:.0f} s; "
        + time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
        "",
        "Environment: " + ", ".join(f"{k} {v}" for k, v in env.items()),
        "",
        "All ratios come from variants timed side by side in one run (interleaved rounds, "
        "medians of time.perf_counter_ns, the garbage collector paused while timing). Other "
        "processes on the machine still add time to whichever call they interrupt: each "
        "section gives the load average around it (above the number of cores, the figures "
        "of that section are disturbed, the ratios much less than the absolute times).",
        "",
        "## Goals",
        "",
    ]
    lines += _md_table(*_goal_rows(sections, before))
    for section in sections:
        lines += ["", f"## {section.title}", "", f"Took {_took(section)}.", ""]
        if section.rows:
            lines += _md_table(section.columns, section.rows)
        for title, columns, rows in section.extra_tables:
            lines += ["", f"{title}:", ""]
            lines += _md_table(columns, rows)
        for note in section.notes:
            lines += ["", note]
        for plot in section.plots:
            lines += ["", f"![{section.key}]({plot})"]
    (RESULTS / "report.md").write_text("\n".join(lines) + "\n", encoding="utf-8")
    raw = {s.key: {"title": s.title, "seconds": s.seconds, "goals": [dataclasses.asdict(g) for g in s.goals],
                   "data": s.data} for s in sections}
    text = json.dumps(raw, indent=1, default=str)
    (RESULTS / "results.json").write_text(text, encoding="utf-8")
    # A dated copy, to compare a later run with (--compare).
    stamp = time.strftime("%Y%m%d-%H%M%S", time.gmtime())
    (RESULTS / f"results-{'quick' if quick else 'full'}-{stamp}.json").write_text(text, encoding="utf-8")


if __name__ == "__main__":
    sys.exit(main())

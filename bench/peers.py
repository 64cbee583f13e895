"""Side by side with the tools a user would pick instead: sqlglot's column
lineage (default and tuned) and sqllineage (sqlparse and sqlfluff back ends).

Every tool gets the SQL text and returns the lineage of every output column.
sqllineage only gives column lineage for a statement that writes somewhere, so
its input is wrapped as `insert into out_t <statement>`.
"""

from __future__ import annotations

import contextlib
import io
import logging
import subprocess
import sys
import warnings
from collections.abc import Callable
from typing import Any

import querimo_main

from common import RESULTS, Goal, Section, clock, fmt_ns, fmt_pct, fmt_ratio, interleaved, median
from workloads import peer_statements, width_sql

WIDTHS = [10, 100, 1000]


def _sqlglot(trim_selects: bool) -> Callable[[str], object] | None:
    try:
        from sqlglot.lineage import lineage
    except ImportError:
        return None

    def run(sql: str) -> object:
        nodes = lineage(None, sql, None, trim_selects=trim_selects)  # type: ignore[call-overload]
        # The answer a user wants: the source column of every output column.
        return {(name, leaf.name) for name, node in nodes.items()
                for leaf in node.walk() if not leaf.downstream}

    return run


def _sqllineage(dialect: str) -> Callable[[str], object] | None:
    try:
        from sqllineage.runner import LineageRunner
    except ImportError:
        return None
    logging.getLogger("sqllineage").setLevel(logging.ERROR)

    def run(sql: str) -> object:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            runner = LineageRunner("insert into out_t " + sql, dialect=dialect, silent_mode=True)
            return runner.get_column_lineage()

    return run


def _tools() -> dict[str, Callable[[str], object] | None]:
    return {
        "sqlglot default": _sqlglot(True),
        "sqlglot trim_selects=False": _sqlglot(False),
        "sqllineage sqlparse": _sqllineage("non-validating"),
        "sqllineage sqlfluff": _sqllineage("ansi"),
    }


def _call_with_cap(name: str, width: int, cap_ns: float) -> int | None:
    """The time of one call of peer `name` on select c1..cN, or None when it
    is still running after `cap_ns` (the process is then stopped)."""
    child = subprocess.Popen([sys.executable, __file__, name, str(width)],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    assert child.stdout is not None
    if child.stdout.readline().strip() != "ready":   # imports done, the call starts now
        child.wait()
        return None
    try:
        output, _ = child.communicate(timeout=cap_ns / 1e9)
    except subprocess.TimeoutExpired:
        child.kill()
        child.communicate()
        return None
    try:
        return int(output.split()[-1])
    except (IndexError, ValueError):
        return None


def _child(name: str, width: int) -> None:
    tool = _tools()[name]
    assert tool is not None
    sql = width_sql(width)
    print("ready", flush=True)
    with contextlib.redirect_stdout(io.StringIO()):
        start = clock()
        tool(sql)
        took = clock() - start
    print(took, flush=True)


def run(quick: bool) -> Section:
    rounds, budget = (5, 1.0) if quick else (15, 3.0)
    # When a peer's time at the last width predicts (growing with the square of
    # the width) more than this for one call at the next, that call runs in a
    # process of its own and is stopped at this time.
    call_cap_ns = (4 if quick else 15) * 1e9

    front = querimo_main.VexloParseMain()
    ours = {
        "ours": front._parse_sql,
        "ours: parse alone": lambda sql: querimo_main.parse(front._re_hint(sql)),
    }
    peers = _tools()
    missing = [name for name, tool in peers.items() if tool is None]
    tools = {**ours, **{name: tool for name, tool in peers.items() if tool is not None}}

    statements, origin = peer_statements()
    statements = statements + [(f"width N={n}", width_sql(n)) for n in WIDTHS]

    results: dict[str, dict[str, Any]] = {}
    last_width: dict[str, tuple[int, float]] = {}
    for label, sql in statements:
        width = int(label.split("=")[1]) if label.startswith("width N=") else None
        row: dict[str, Any] = {}
        runnable = {}
        single: dict[str, list[int]] = {}
        for name, tool in tools.items():
            if width is not None and name in last_width:
                prev_n, prev_ns = last_width[name]
                estimate = prev_ns * (width / prev_n) ** 2
                if estimate > call_cap_ns:
                    # One call in a process of its own, stopped at the cap.
                    took = _call_with_cap(name, width, call_cap_ns)
                    if took is None:
                        row[name] = f"stopped after {call_cap_ns / 1e9:.0f} s"
                        row[name + " lower bound"] = call_cap_ns
                    else:
                        single[name] = [took]
                    continue
            # The first call checks that the tool copes (and warms it up); a call
            # slower than the budget is taken as the only sample.
            try:
                with contextlib.redirect_stdout(io.StringIO()):
                    start = clock()
                    tool(sql)
                    first = clock() - start
            except Exception as exc:
                row[name] = f"error: {type(exc).__name__}"
                continue
            if first > budget * 1e9:
                single[name] = [first]
            else:
                runnable[name] = lambda tool=tool: tool(sql)
        with contextlib.redirect_stdout(io.StringIO()):
            timed = interleaved(runnable, rounds, budget_s=budget, min_rounds=1)
        samples: dict[str, list[int]] = {**timed, **single}
        for name, values in samples.items():
            row[name] = median(values)
            if width is not None:
                last_width[name] = (width, median(values))
        results[label] = row

    section = Section(
        "peers", "5. Peers: end to end per statement, our time as a share of each peer's",
        ["statement", "ours", "parse share of ours"]
        + [f"ours / {name}" for name in peers if peers[name] is not None],
    )
    ratios: dict[str, list[tuple[str, float]]] = {name: [] for name in peers}
    unmeasured: dict[str, list[str]] = {name: [] for name in peers}
    for label, row in results.items():
        ours_ns = row.get("ours")
        if not isinstance(ours_ns, float):
            section.rows.append([label, str(ours_ns)] + [""] * (len(section.columns) - 2))
            continue
        parse_ns = row.get("ours: parse alone")
        cells: list[object] = [label, fmt_ns(ours_ns),
                               fmt_pct(parse_ns / ours_ns) if isinstance(parse_ns, float) else "-"]
        for name in peers:
            if peers[name] is None:
                continue
            value = row.get(name)
            if isinstance(value, float):
                ratio = ours_ns / value
                ratios[name].append((label, ratio))
                cells.append(fmt_ratio(ratio, 3))
            elif value is not None and f"{name} lower bound" in row:
                bound = ours_ns / float(row[f"{name} lower bound"])
                if bound < 1.0:
                    # Already faster than the peer's time at the previous width.
                    ratios[name].append((label, bound))
                    cells.append(f"< {bound:.3f}x ({value})")
                else:
                    unmeasured[name].append(label)
                    cells.append(f"not measured ({value})")
            else:
                cells.append(str(value))
        section.rows.append(cells)

    # Absolute times, for reading the ratios.
    section.extra_tables.append((
        "Median time per statement",
        ["statement"] + list(tools),
        [[label] + [fmt_ns(row[name]) if isinstance(row.get(name), float) else str(row.get(name, "-"))
                    for name in tools] for label, row in results.items()],
    ))

    shapes = [label for label in results if not label.startswith("width N=")]
    for name in ("sqllineage sqlparse", "sqllineage sqlfluff"):
        if peers[name] is None:
            section.goals.append(Goal(f"faster than {name} on every shape", "not installed", None))
            continue
        measured = [r for _label, r in ratios[name]]
        worst = max(measured) if measured else float("nan")
        errors = [label for label in results if str(results[label].get(name, "")).startswith("error")]
        text = f"worst ours/peer {fmt_ratio(worst, 3)} over {len(measured)} statements"
        if errors:
            text += f"; {len(errors)} statements the peer fails on"
        if unmeasured[name]:
            text += "; not run on " + ", ".join(unmeasured[name])
        section.goals.append(Goal(f"faster than {name} on every statement shape", text,
                                  worst < 1.0 if measured else None))
    if peers["sqlglot default"] is not None:
        wide = [(label, r) for label, r in ratios["sqlglot default"]
                if label.startswith("width N=") and int(label.split("=")[1]) >= 100]
        worst = max((r for _label, r in wide), default=float("nan"))
        text = ", ".join(f"{label}: {fmt_ratio(r, 3)}" for label, r in wide)
        missed = unmeasured["sqlglot default"]
        if missed:
            text += "; not run on " + ", ".join(missed)
        met = (worst < 1.0) if wide else None
        if met and missed:
            met = None
        section.goals.append(Goal("faster than sqlglot's default lineage from 100 columns on", text, met))
    if peers["sqlglot trim_selects=False"] is not None:
        tuned = [r for _label, r in ratios["sqlglot trim_selects=False"]]
        shares = [float(results[label]["ours: parse alone"]) / float(results[label]["ours"])
                  for label in results
                  if isinstance(results[label].get("ours"), float)
                  and isinstance(results[label].get("ours: parse alone"), float)]
        section.goals.append(Goal(
            "against sqlglot tuned (trim_selects=False): report the ratio and the parser's share",
            f"median ours/sqlglot {fmt_ratio(median(tuned), 2)}; parser's share of ours: median "
            f"{fmt_pct(median(shares))}", None))
    section.notes.append(f"Statement shapes from {origin}, plus select c1..cN for N = "
                         + ", ".join(map(str, WIDTHS)) + f". Up to {rounds} interleaved rounds per statement.")
    section.notes.append(
        "A ratio below 1 means we are faster. Where a peer's time at the previous width predicted "
        f"a call longer than {call_cap_ns / 1e9:.0f} s, one call ran in a process of its own and was "
        "stopped there; '< x' is then an upper bound on the ratio (our time over the cap).")
    if missing:
        section.notes.append("Not installed, so not compared: " + ", ".join(missing))
    section.data["results"] = results
    section.data["shapes"] = shapes
    section.plots.append(_plot(results, [n for n in tools]))
    return section


def _plot(results: dict[str, dict[str, Any]], tools: list[str]) -> str:
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7, 4.2))
    for name in tools:
        points = [(int(label.split("=")[1]), row[name]) for label, row in results.items()
                  if label.startswith("width N=") and isinstance(row.get(name), float)]
        if points:
            line, = ax.plot([n for n, _ in points], [v / 1e6 for _, v in points], marker="o", label=name)
            stopped = [(int(label.split("=")[1]), float(row[name + " lower bound"]))
                       for label, row in results.items()
                       if label.startswith("width N=") and name + " lower bound" in row]
            if stopped:
                ax.plot([points[-1][0]] + [n for n, _ in stopped],
                        [points[-1][1] / 1e6] + [v / 1e6 for _, v in stopped],
                        linestyle=":", marker="^", color=line.get_color())
    ax.plot([], [], linestyle=":", marker="^", color="grey", label="stopped at the cap: at least this")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("columns N (log)")
    ax.set_ylabel("time per statement (ms, log)")
    ax.set_title("select c1..cN from db.t, end to end")
    ax.legend(fontsize=8)
    fig.tight_layout()
    name = "peers_width.png"
    fig.savefig(RESULTS / name, dpi=110)
    plt.close(fig)
    return name


if __name__ == "__main__":
    _child(sys.argv[1], int(sys.argv[2]))

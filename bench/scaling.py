"""How the analysis alone grows with the width, depth and union size of a query.

Each tree is parsed once; the analysis never changes the tree it is given, so
the same tree is analysed in every round.
"""

from __future__ import annotations

import os
from functools import partial
from typing import Any

import querimo_main

from common import RESULTS, Goal, Section, clock, fmt_ns, fmt_ratio, interleaved, median
from workloads import count_nodes, depth_sql, union_sql, width_sql, width_subquery_sql

REUSE_SETTING = "QUERIMO_REUSE_SUBQUERIES"


def _analyse(tree: object) -> Any:
    return querimo_main.Analyze(tree).analyze_sql()


def _parsed(sql: str) -> tuple[object, float]:
    start = clock()
    tree = querimo_main.parse(sql)
    return tree, clock() - start


def run_width(quick: bool) -> Section:
    sizes = [10, 100, 1000] if quick else [10, 100, 1000, 10000]
    rounds, budget = (5, 2.0) if quick else (15, 6.0)
    shapes = {"plain": width_sql, "sub-query": width_subquery_sql}
    trees, parse_ns = {}, {}
    for shape, make in shapes.items():
        for n in sizes:
            trees[shape, n], parse_ns[shape, n] = _parsed(make(n))
    samples = interleaved(
        {f"{shape}/{n}": partial(_analyse, trees[shape, n]) for shape, n in trees},
        rounds, budget_s=budget,
    )

    section = Section("width", "2. Width: analysis alone, time per column",
                      ["shape", "N", "analysis", "per column", "vs smallest N", "runs", "parse (once)"])
    figures: dict[str, list[tuple[int, float]]] = {shape: [] for shape in shapes}
    for shape in shapes:
        base = None
        for n in sizes:
            values = samples[f"{shape}/{n}"]
            per_column = median(values) / n
            base = base or per_column
            figures[shape].append((n, per_column))
            section.rows.append([shape, n, fmt_ns(median(values)), fmt_ns(per_column),
                                 fmt_ratio(per_column / base), len(values), fmt_ns(parse_ns[shape, n])])
        ratio = figures[shape][-1][1] / figures[shape][0][1]
        section.goals.append(Goal(
            f"width ({shape}): per column at N={sizes[-1]} within 2x of N={sizes[0]}",
            fmt_ratio(ratio), ratio <= 2.0))
    section.data["per_column_ns"] = {shape: values for shape, values in figures.items()}
    section.plots.append(_plot_per_unit(
        "width.png", "Width: analysis time per column", "columns N", "time per column (µs)", figures))
    return section


def run_depth(quick: bool) -> Section:
    depths = list(range(1, 9))
    rounds, budget = (7, 2.0) if quick else (21, 4.0)
    off_cap_s = 2.0 if quick else 10.0
    trees = {d: _parsed(depth_sql(d))[0] for d in depths}
    nodes = {d: count_nodes(trees[d]) for d in depths}

    # With reuse turned off the cost grows about 20-fold per level: time one call
    # per depth first and stop before a call would take longer than the cap.
    off_depths, skipped = [], []
    previous = None
    for d in (1, 2, 3):
        if previous is not None and previous * 25 > off_cap_s * 1e9:
            skipped.append(d)
            continue
        with _reuse(False):
            start = clock()
            _analyse(trees[d])
            previous = clock() - start
        if previous > off_cap_s * 1e9:
            skipped.append(d)
        else:
            off_depths.append(d)

    # Reuse on and off give the same entries (spot check; the tests prove it in full).
    for d in off_depths:
        with _reuse(False):
            without = sorted(_analyse(trees[d]))
        if sorted(_analyse(trees[d])) != without:
            raise AssertionError(f"reuse changed the result at depth {d}")

    # The depths with reuse are timed in short rounds of their own, so that every
    # depth of a round meets the same load; a call without reuse can take seconds.
    samples = interleaved({f"on/{d}": partial(_analyse, trees[d]) for d in depths},
                          rounds, budget_s=budget, min_rounds=3)
    for d in off_depths:
        paired = interleaved({f"on/{d}": partial(_analyse, trees[d]),
                              f"off/{d}": partial(_reuse_off_call, trees[d])},
                             rounds, budget_s=budget, min_rounds=3)
        samples[f"off/{d}"] = paired[f"off/{d}"]
        samples[f"off-pair/{d}"] = paired[f"on/{d}"]

    section = Section("depth", "3. Depth: nested sub-queries, 20 columns renamed per level, analysis alone",
                      ["D", "tree nodes", "reuse on", "per node", "vs D=1", "reuse off", "off / on"])
    per_node = []
    for d in depths:
        on = median(samples[f"on/{d}"])
        per_node.append((d, on / nodes[d]))
        off = median(samples[f"off/{d}"]) if d in off_depths else float("nan")
        off_text = fmt_ns(off) if d in off_depths else ("skipped (over the time cap)" if d in skipped else "-")
        section.rows.append([d, nodes[d], fmt_ns(on), fmt_ns(on / nodes[d]),
                             fmt_ratio(per_node[-1][1] / per_node[0][1]), off_text,
                             fmt_ratio(off / median(samples[f"off-pair/{d}"])) if d in off_depths else "-"])
    ratio = per_node[-1][1] / per_node[0][1]
    section.goals.append(Goal("depth: per node at D=8 within 3x of D=1", fmt_ratio(ratio), ratio <= 3.0))
    section.notes.append(
        f"'reuse off' sets {REUSE_SETTING}=0, which analyses a sub-query again for every outer "
        f"column that reads from it; it is timed for D=1..3 while one call stays under {off_cap_s:.0f} s."
    )
    section.data["per_node_ns"] = per_node
    reuse_off = {d: median(samples[f"off/{d}"]) for d in off_depths}
    section.data["reuse_off_ns"] = reuse_off
    section.plots.append(_plot_depth(per_node, {d: median(samples[f"on/{d}"]) for d in depths},
                                     reuse_off))
    return section


def run_union(quick: bool) -> Section:
    sizes = [1, 5, 20, 50, 200] if quick else [1, 2, 5, 10, 20, 50, 100, 200]
    rounds, budget = (5, 2.0) if quick else (15, 4.0)
    trees = {n: _parsed(union_sql(n))[0] for n in sizes}
    samples = interleaved({str(n): partial(_analyse, trees[n]) for n in sizes},
                          rounds, budget_s=budget)
    section = Section("union", "4. Union: analysis alone, time per member (5 columns each)",
                      ["members", "analysis", "per member", "vs 1 member", "runs"])
    figures = []
    for n in sizes:
        per_member = median(samples[str(n)]) / n
        figures.append((n, per_member))
        section.rows.append([n, fmt_ns(median(samples[str(n)])), fmt_ns(per_member),
                             fmt_ratio(per_member / figures[0][1]), len(samples[str(n)])])
    ratio = figures[-1][1] / figures[0][1]
    section.goals.append(Goal(f"union: per member at {sizes[-1]} within 2x of 1 member",
                              fmt_ratio(ratio), ratio <= 2.0))
    section.data["per_member_ns"] = figures
    section.plots.append(_plot_per_unit(
        "union.png", "Union: analysis time per member", "union members", "time per member (µs)",
        {"union all": figures}))
    return section


class _reuse:
    """Sets the reuse switch for the duration of a block (read on every top-level call)."""

    def __init__(self, enabled: bool) -> None:
        self.enabled = enabled

    def __enter__(self) -> None:
        self.saved = os.environ.get(REUSE_SETTING)
        if self.enabled:
            os.environ.pop(REUSE_SETTING, None)
        else:
            os.environ[REUSE_SETTING] = "0"

    def __exit__(self, *exc: object) -> None:
        if self.saved is None:
            os.environ.pop(REUSE_SETTING, None)
        else:
            os.environ[REUSE_SETTING] = self.saved


def _reuse_off_call(tree: object) -> None:
    with _reuse(False):
        _analyse(tree)


def _plot_per_unit(name: str, title: str, xlabel: str, ylabel: str,
                   series: dict[str, list[tuple[int, float]]]) -> str:
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7, 4.2))
    for label, points in series.items():
        ax.plot([x for x, _ in points], [y / 1e3 for _, y in points], marker="o", label=label)
    smallest = min(points[0][1] for points in series.values())
    ax.axhline(2 * smallest / 1e3, color="tab:red", linestyle="--", linewidth=1,
               label="2x the smallest size (goal bound)")
    ax.set_xscale("log")
    ax.set_xlabel(xlabel + " (log)")
    ax.set_ylabel(ylabel)
    ax.set_ylim(bottom=0)
    ax.set_title(title)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(RESULTS / name, dpi=110)
    plt.close(fig)
    return name


def _plot_depth(per_node: list[tuple[int, float]], on: dict[int, float], off: dict[int, float]) -> str:
    import matplotlib.pyplot as plt

    fig, (left, right) = plt.subplots(1, 2, figsize=(10, 4.2))
    left.plot([d for d, _ in per_node], [v / 1e3 for _, v in per_node], marker="o")
    left.axhline(3 * per_node[0][1] / 1e3, color="tab:red", linestyle="--", linewidth=1,
                 label="3x D=1 (goal bound)")
    left.set_xlabel("nesting depth D")
    left.set_ylabel("time per tree node (µs)")
    left.set_ylim(bottom=0)
    left.set_title("Reuse on: time per node")
    left.legend(fontsize=8)
    right.plot(list(on), [v / 1e6 for v in on.values()], marker="o", label="reuse on")
    if off:
        right.plot(list(off), [v / 1e6 for v in off.values()], marker="s", label="reuse off")
    right.set_yscale("log")
    right.set_xlabel("nesting depth D")
    right.set_ylabel("analysis time (ms, log)")
    right.set_title("Whole analysis, reuse on and off")
    right.legend(fontsize=8)
    fig.tight_layout()
    name = "depth.png"
    fig.savefig(RESULTS / name, dpi=110)
    plt.close(fig)
    return name

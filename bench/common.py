"""Timing helpers and the result record every benchmark returns.

Absolute times on shared machines drift from minute to minute, so every
comparison is measured side by side: the variants being compared run one after
another in each round (in a rotating order), and each is summarised by its
median over the rounds.
"""

from __future__ import annotations

import gc
import json
import os
import random
import statistics
import sys
import time
from collections.abc import Callable, Mapping, Sequence
from typing import Any
from dataclasses import dataclass, field
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
BENCH = REPO / "bench"
RESULTS = BENCH / "results"
PEER_CASES = REPO.parent / "shared" / "peer-cases" / "peer_cases.json"

clock = time.perf_counter_ns


@dataclass
class Goal:
    text: str          # the goal as stated, e.g. "median < 5%"
    measured: str      # the figure that decides it
    met: bool | None   # None: could not be measured


@dataclass
class Section:
    key: str
    title: str
    columns: list[str]
    rows: list[Sequence[object]] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)
    goals: list[Goal] = field(default_factory=list)
    plots: list[str] = field(default_factory=list)
    extra_tables: list[tuple[str, list[str], Sequence[Sequence[object]]]] = field(default_factory=list)
    data: dict[str, object] = field(default_factory=dict)   # raw figures for results.json
    seconds: float = 0.0
    load: tuple[float, float] = (float("nan"), float("nan"))  # 1-minute load average before, after


def interleaved(
    variants: Mapping[str, Callable[[], object]],
    rounds: int,
    budget_s: float = float("inf"),
    min_rounds: int = 3,
) -> dict[str, list[int]]:
    """Times each variant once per round, in a new random order each round (so
    that periodic interruptions from other processes do not keep falling on the
    same variant).

    A variant whose samples already add up to `budget_s` drops out once it has
    `min_rounds` samples, so that one slow variant cannot stretch the run.
    Returns the samples in nanoseconds per variant.

    The garbage collector is paused while the rounds run, as timeit does: its
    collections fall on whichever call happens to cross the allocation
    threshold, which splits a variant's times into two clusters and makes
    medians jump between them. It collects before the rounds start.
    """
    enabled = gc.isenabled()
    gc.collect()
    gc.disable()
    try:
        return _rounds(variants, rounds, budget_s, min_rounds)
    finally:
        if enabled:
            gc.enable()


def _rounds(
    variants: Mapping[str, Callable[[], object]], rounds: int, budget_s: float, min_rounds: int
) -> dict[str, list[int]]:
    names = list(variants)
    samples: dict[str, list[int]] = {name: [] for name in names}
    spent = dict.fromkeys(names, 0)
    budget_ns = budget_s * 1e9
    order = random.Random(len(names) * 7919 + rounds)
    for _round in range(rounds):
        active = False
        for name in order.sample(names, len(names)):
            if len(samples[name]) >= min_rounds and spent[name] >= budget_ns:
                continue
            active = True
            function = variants[name]
            start = clock()
            function()
            elapsed = clock() - start
            samples[name].append(elapsed)
            spent[name] += elapsed
        if not active:
            break
    return samples


def median(values: Sequence[float]) -> float:
    return float(statistics.median(values))


def percentile(values: Sequence[float], share: float) -> float:
    """Linear interpolation between closest ranks (numpy's default)."""
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    position = (len(ordered) - 1) * share
    low = int(position)
    high = min(low + 1, len(ordered) - 1)
    return ordered[low] + (ordered[high] - ordered[low]) * (position - low)


def fmt_ns(ns: float) -> str:
    if ns != ns:  # NaN
        return "-"
    if ns >= 1e9:
        return f"{ns / 1e9:.2f} s"
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.1f} µs"
    return f"{ns:.0f} ns"


def fmt_ratio(value: float, digits: int = 2) -> str:
    return "-" if value != value else f"{value:.{digits}f}x"


def fmt_pct(value: float) -> str:
    return "-" if value != value else f"{value * 100:.1f}%"


def load_corpus() -> list[tuple[str, Any]]:
    """The hand-worked warehouse cases (tests/support), read as a file so that
    the benchmark does not depend on the test package layout."""
    namespace: dict[str, Any] = {}
    path = REPO / "tests" / "support" / "warehouse_corpus.py"
    exec(compile(path.read_text(encoding="utf-8"), str(path), "exec"), namespace)
    return list(namespace["CASES"])


def load_peer_cases() -> dict | None:
    """The peer tools' cases, or None when the shared folder is not there."""
    try:
        with open(PEER_CASES, encoding="utf-8") as handle:
            return json.load(handle)
    except (OSError, ValueError):
        return None


def environment() -> dict[str, str]:
    info = {
        "python": sys.version.split()[0],
        "cores": str(os.cpu_count()),
        "platform": sys.platform,
        "load average at the end": " ".join(f"{x:.2f}" for x in os.getloadavg()),
    }
    try:
        from importlib.metadata import version

        for package in ("moz-sql-parser", "sqlglot", "sqllineage", "sqlfluff", "sqlparse"):
            try:
                info[package] = version(package)
            except Exception:
                info[package] = "not installed"
    except ImportError:
        pass
    return info

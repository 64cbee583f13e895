"""Our own SQL parser end to end: `sql_lineage.lineage(sql, parser="native")`
against `openlineage_sql.parse` and the moz path, side by side in one run.

    PYTHONPATH=build/<yours>:python bench/.venv/bin/python bench/native_parser.py [--quick]

Prints, with the goal beside each figure:
- speed: per statement of the peer cases and the warehouse corpus, the median
  over interleaved rounds of each tool; then the median over statements of
  native / openlineage (goal at most 0.2) and moz / native (goal at least 50);
- linearity: cost per unit (byte, column, member, level) at growing sizes, up
  to a 10 MB statement, 10,000 columns, 1,000 UNION members and 200 nested
  sub-queries, each the fastest of its rounds (goal: the largest within 2x of
  the smallest per unit);
- memory: resident set after 100,000 and after 1,000,000 statements (goal:
  flat, within 5 %).
"""

from __future__ import annotations

import argparse
import json
import statistics
import sys
import warnings
from collections.abc import Callable
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests"))
sys.path.insert(0, str(REPO / "bench"))

from common import PEER_CASES, interleaved, median  # noqa: E402

from sql_lineage import lineage  # noqa: E402

# openlineage_sql's names for our dialects; the rest are read as its generic SQL.
OPENLINEAGE_DIALECTS = {"postgres": "postgres", "bigquery": "bigquery", "tsql": "mssql",
                        "databricks": "databricks", "hive": "hive", "snowflake": "snowflake"}
OUR_DIALECTS = {"postgres", "bigquery", "tsql", "databricks", "hive", "snowflake", "mysql"}


def statements() -> list[tuple[str, str]]:
    """(sql, dialect) of every peer case and warehouse corpus statement."""
    from support.warehouse_corpus import CASES

    data = json.loads(PEER_CASES.read_text())
    cases = [(c["sql"], c.get("dialect") or "ansi")
             for key in ("cases", "out_of_scope_cases", "bench_statements") for c in data[key]]
    return cases + [(sql, "ansi") for sql, _ in CASES]


def speed(rounds: int) -> None:
    try:
        import openlineage_sql  # type: ignore[import-not-found, import-untyped, unused-ignore]
    except ImportError:
        print("speed: openlineage-sql is not installed here (bench/.venv/bin/pip install openlineage-sql): not measured")
        return
    native_vs_ol: list[float] = []
    moz_vs_native: list[float] = []
    times: dict[str, list[float]] = {"native": [], "openlineage": [], "moz": []}
    for sql, dialect in statements():
        ours = dialect if dialect in OUR_DIALECTS else "ansi"
        theirs = OPENLINEAGE_DIALECTS.get(dialect, "generic")
        variants: dict[str, Callable[[], object]] = {
            "native": lambda: lineage(sql, parser="native", dialect=ours),
            "openlineage": lambda: openlineage_sql.parse([sql], dialect=theirs),
        }
        try:
            for run in variants.values():
                run()
        except Exception:  # a statement the peer refuses outright is left out of the comparison
            continue
        samples = interleaved(variants, rounds)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            moz = interleaved({"moz": lambda: lineage(sql, parser="moz")}, 3)["moz"]
        native_ns, ol_ns, moz_ns = median(samples["native"]), median(samples["openlineage"]), median(moz)
        times["native"].append(native_ns)
        times["openlineage"].append(ol_ns)
        times["moz"].append(moz_ns)
        native_vs_ol.append(native_ns / ol_ns)
        moz_vs_native.append(moz_ns / native_ns)
    n = len(native_vs_ol)
    print(f"speed over {n} statements (median per statement, in us): native {statistics.median(times['native']) / 1e3:.1f}, "
          f"openlineage {statistics.median(times['openlineage']) / 1e3:.1f}, moz {statistics.median(times['moz']) / 1e3:.1f}")
    ratio = statistics.median(native_vs_ol)
    print(f"  native / openlineage, median: {ratio:.3f}x (goal at most 0.2x: {'met' if ratio <= 0.2 else 'not met'}); "
          f"native faster on {sum(r < 1 for r in native_vs_ol)} of {n}")
    gain = statistics.median(moz_vs_native)
    print(f"  moz / native, median: {gain:.0f}x (goal at least 50x: {'met' if gain >= 50 else 'not met'})")


def _per_unit(label: str, make: Callable[[int], str], sizes: list[int], unit: str, rounds: int) -> None:
    costs = []
    for size in sizes:
        sql = make(size)
        [result] = lineage(sql, parser="native")
        assert result.status == "ok", result.message
        # The fastest round: the statement's own cost, least disturbed by other work on the machine.
        ns = min(interleaved({"native": lambda: lineage(sql, parser="native")}, rounds)["native"])
        costs.append(ns / size)
    spread = max(costs) / min(costs)
    cells = ", ".join(f"{size:,}: {cost:.1f} ns/{unit}" for size, cost in zip(sizes, costs))
    print(f"  {label}: {cells}; largest / smallest per {unit} {spread:.2f} "
          f"(goal within 2x: {'met' if spread <= 2 else 'not met'})")


def linearity(rounds: int) -> None:
    print("linearity (end to end, native):")

    def long_statement(size: int) -> str:
        head = "select a, coalesce(b, 0) + c as d from db.t where x in ("
        values = ",".join(str(i % 1000) for i in range(size // 4))
        return head + values + ") and y = 'z'"

    _per_unit("statement length", long_statement, [100_000, 1_000_000, 10_000_000], "byte", max(5, rounds // 3))
    _per_unit("columns", lambda n: "select " + ", ".join(f"t.c{i} as o{i}" for i in range(n)) + " from db.t t",
              [100, 1_000, 10_000], "column", rounds)
    _per_unit("UNION members", lambda n: " union all ".join(f"select a{i}, b from db.t{i}" for i in range(n)),
              [10, 100, 1_000], "member", rounds)

    def nested(depth: int) -> str:
        sql = "select c0, c1 from db.base"
        for k in range(depth):
            sql = f"select s{k}.c0, s{k}.c1 from ({sql}) s{k}"
        return sql

    _per_unit("nested sub-queries", nested, [10, 50, 200], "level", rounds)


def _resident_kb() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4


def memory(total: int) -> None:
    texts = [sql for sql, _ in statements()]
    checkpoints = {total // 10: 0, total: 0}
    for k in range(1, total + 1):
        lineage(texts[k % len(texts)], parser="native")
        if k in checkpoints:
            checkpoints[k] = _resident_kb()
    (small, first), (large, last) = sorted(checkpoints.items())
    growth = (last - first) / first
    print(f"memory: resident set {first / 1024:.1f} MB after {small:,} statements, {last / 1024:.1f} MB after "
          f"{large:,} ({growth:+.1%}; goal flat within 5 %: {'met' if growth <= 0.05 else 'not met'})")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds, 100,000 statements for memory")
    args = parser.parse_args()
    rounds = 5 if args.quick else 15
    speed(rounds)
    linearity(rounds)
    memory(100_000 if args.quick else 1_000_000)


if __name__ == "__main__":
    main()

"""What the module adds on top of the parser, statement by statement."""

from __future__ import annotations

import contextlib
import io
from typing import Any

import querimo_main

from common import Goal, Section, fmt_ns, fmt_pct, interleaved, median, percentile
from short_statements import FIXED_COST_STATEMENTS, SHORT_STATEMENTS
from workloads import corpus_statements

# What a call may add to the parse of a one-line statement.
FIXED_COST_GOAL_NS = 15_000


def usable_statements() -> tuple[list[tuple[str, str]], list[str]]:
    """The corpus statements the module analyses without an error, and the labels of the rest."""
    front = querimo_main.VexloParseMain()
    good, failed = [], []
    for label, sql in corpus_statements():
        try:
            with contextlib.redirect_stdout(io.StringIO()):
                front._parse_sql(sql)
        except Exception:
            failed.append(label)
        else:
            good.append((label, sql))
    return good, failed


def run(quick: bool) -> Section:
    rounds = 9 if quick else 25
    front = querimo_main.VexloParseMain()
    parse = querimo_main.parse
    statements, failed = usable_statements()

    per_statement: list[dict[str, Any]] = []
    for label, sql in statements:
        cleaned = front._re_hint(sql)
        tree = parse(cleaned)
        samples = interleaved(
            {
                "end_to_end": lambda: front._parse_sql(sql),
                "parse": lambda: parse(cleaned),
                "clean": lambda: front._re_hint(sql),
                "analyse": lambda: querimo_main.Analyze(tree).analyze_sql(),
            },
            rounds,
        )
        m = {name: median(values) for name, values in samples.items()}
        fastest = {name: min(values) for name, values in samples.items()}
        per_statement.append(
            {
                "label": label,
                "end_to_end_ns": m["end_to_end"],
                "parse_ns": m["parse"],
                "clean_ns": m["clean"],
                "analyse_ns": m["analyse"],
                # The measure the goal is set on: end to end minus parse, over parse.
                "overhead": (m["end_to_end"] - m["parse"]) / m["parse"],
                # The same, from the module's own steps timed alone (far less noisy;
                # it leaves out the records built at the end).
                "direct": (m["clean"] + m["analyse"]) / m["parse"],
                # Fastest round against fastest round: what is left when the
                # machine's other work is kept out of both.
                "fastest": (fastest["end_to_end"] - fastest["parse"]) / fastest["parse"],
                # What is left once parse, cleaning and analysis are taken out:
                # building the records and the calls between the steps.
                "rest": (m["end_to_end"] - m["parse"] - m["clean"] - m["analyse"]) / m["parse"],
            }
        )

    section = Section(
        "overhead",
        "1. Overhead over the parser (end to end _parse_sql against parse alone)",
        ["statements", "measure", "median", "p90", "max"],
    )
    overheads = [s["overhead"] for s in per_statement]
    directs = [s["direct"] for s in per_statement]
    fastests = [s["fastest"] for s in per_statement]
    rests = [s["rest"] for s in per_statement]
    for name, values in (("(end to end - parse) / parse, medians", overheads),
                         ("(end to end - parse) / parse, fastest rounds", fastests),
                         ("(clean + analyse) / parse, medians", directs),
                         ("(end to end - parse - clean - analyse) / parse, medians", rests)):
        section.rows.append([len(values), name, fmt_pct(median(values)),
                             fmt_pct(percentile(values, 0.9)), fmt_pct(max(values))])
    med, p90 = median(overheads), percentile(overheads, 0.9)
    section.goals.append(Goal("overhead median < 5% of parse", fmt_pct(med), med < 0.05))
    section.goals.append(Goal("overhead 90th percentile < 10% of parse", fmt_pct(p90), p90 < 0.10))
    section.notes.append(
        f"{len(statements)} statements, {rounds} interleaved rounds each; medians per statement. "
        "The goal is judged on the first row. The second compares each statement's fastest "
        "end-to-end round with its fastest parse round (other work on the machine only ever adds "
        "time); the third times the module's own steps (cleaning + analysis) alone; the fourth is "
        "what remains: building the records and the calls between the steps. They are "
        "checks on the first, a small difference of two large figures that other processes "
        "on a shared machine can disturb."
    )
    if failed:
        section.notes.append(
            f"{len(failed)} corpus statements end in an error and are left out: " + ", ".join(failed[:10])
            + (" ..." if len(failed) > 10 else "")
        )
    worst = sorted(per_statement, key=lambda s: s["overhead"], reverse=True)[:5]
    section.extra_tables.append((
        "Highest overheads",
        ["statement", "end to end", "parse", "clean", "analyse", "overhead"],
        [[s["label"], fmt_ns(s["end_to_end_ns"]), fmt_ns(s["parse_ns"]), fmt_ns(s["clean_ns"]),
          fmt_ns(s["analyse_ns"]), fmt_pct(s["overhead"])] for s in worst],
    ))
    section.data["statements"] = per_statement
    section.plots.append(_plot(per_statement))
    return section


def run_short(quick: bool) -> Section:
    """The same measure over short statements, where the fixed cost of a call
    (cleaning, the analyser's set-up, the normalised copy, the records) weighs
    most, and that fixed cost itself in microseconds."""
    rounds = 15 if quick else 41
    fixed_rounds = 301 if quick else 1001
    front = querimo_main.VexloParseMain()
    parse = querimo_main.parse

    per_statement: list[dict[str, Any]] = []
    for sql in SHORT_STATEMENTS:
        cleaned = front._re_hint(sql)
        samples = interleaved(
            {"end_to_end": lambda: front._parse_sql(sql), "parse": lambda: parse(cleaned)},
            fixed_rounds if sql in FIXED_COST_STATEMENTS else rounds,
        )
        end_to_end, parsed = median(samples["end_to_end"]), median(samples["parse"])
        # Each round times both variants back to back: the difference within a
        # round keeps out most of what other processes add to a whole round.
        added_ns = median([e - p for e, p in zip(samples["end_to_end"], samples["parse"])])
        per_statement.append({"sql": sql, "end_to_end_ns": end_to_end, "parse_ns": parsed,
                              "added_ns": added_ns, "overhead": added_ns / parsed})

    section = Section(
        "overhead_short",
        "1b. Overhead over the parser on short statements, and the fixed cost of a call",
        ["statements", "measure", "median", "p90", "max"],
    )
    overheads = [s["overhead"] for s in per_statement]
    added = [s["added_ns"] for s in per_statement]
    section.rows.append([len(overheads), "(end to end - parse) / parse, per-round differences",
                         fmt_pct(median(overheads)), fmt_pct(percentile(overheads, 0.9)),
                         fmt_pct(max(overheads))])
    section.rows.append([len(added), "end to end - parse, per-round differences", fmt_ns(median(added)),
                         fmt_ns(percentile(added, 0.9)), fmt_ns(max(added))])
    med, p90 = median(overheads), percentile(overheads, 0.9)
    section.goals.append(Goal("short statements: overhead median < 5% of parse", fmt_pct(med), med < 0.05))
    section.goals.append(Goal("short statements: overhead 90th percentile < 10% of parse", fmt_pct(p90),
                              p90 < 0.10))
    fixed = [s for s in per_statement if s["sql"] in FIXED_COST_STATEMENTS]
    for s in fixed:
        section.goals.append(Goal(f"added to the parse of `{s['sql']}` <= {fmt_ns(FIXED_COST_GOAL_NS)}",
                                  fmt_ns(s["added_ns"]), s["added_ns"] <= FIXED_COST_GOAL_NS))
    section.extra_tables.append((
        "Fixed cost of a call",
        ["statement", "parse", "end to end", "added", "rounds"],
        [[s["sql"], fmt_ns(s["parse_ns"]), fmt_ns(s["end_to_end_ns"]), fmt_ns(s["added_ns"]),
          fixed_rounds] for s in fixed],
    ))
    worst = sorted(per_statement, key=lambda s: s["overhead"], reverse=True)[:5]
    section.extra_tables.append((
        "Highest overheads",
        ["statement", "parse", "added", "overhead"],
        [[s["sql"].replace("\n", " "), fmt_ns(s["parse_ns"]), fmt_ns(s["added_ns"]),
          fmt_pct(s["overhead"])] for s in worst],
    ))
    section.notes.append(
        f"{len(per_statement)} short statements (bench/short_statements.py), {rounds} interleaved "
        f"rounds each, {fixed_rounds} for the two statements the fixed cost is judged on; each "
        "figure is the median over rounds of the end-to-end time minus the parse time of the "
        "same round. The parse is given the cleaned text, as _parse_sql gives it (the statement "
        "itself when there is nothing to clean)."
    )
    section.data["statements"] = per_statement
    return section


def _plot(per_statement: list[dict[str, Any]]) -> str:
    import matplotlib.pyplot as plt

    from common import RESULTS

    fig, ax = plt.subplots(figsize=(8, 4.5))
    parse_ms = [s["parse_ns"] / 1e6 for s in per_statement]
    ax.scatter(parse_ms, [s["overhead"] * 100 for s in per_statement], s=14,
               label="(end to end - parse) / parse")
    ax.scatter(parse_ms, [s["direct"] * 100 for s in per_statement], s=14, marker="x",
               label="(clean + analyse) / parse")
    ax.axhline(5, color="tab:red", linestyle="--", linewidth=1, label="median goal 5%")
    ax.axhline(10, color="tab:orange", linestyle=":", linewidth=1, label="p90 goal 10%")
    ax.set_xscale("log")
    ax.set_xlabel("parse time (ms, log)")
    ax.set_ylabel("overhead (% of parse)")
    ax.set_title("Overhead of the module over the parser, per corpus statement")
    ax.legend(fontsize=8)
    fig.tight_layout()
    name = "overhead.png"
    fig.savefig(RESULTS / name, dpi=110)
    plt.close(fig)
    return name

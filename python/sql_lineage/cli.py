"""sql-lineage: the column lineage of SQL files, on top of the querimo_main extension.

Reads files, folders (every *.sql below them) or standard input, splits the text
into statements, analyses each query with `VexloParseMain()._parse_sql` and
prints one row per lineage entry. Statements that cannot be analysed are
reported on standard error with their place; the rest still get their lineage.
"""

from __future__ import annotations

import argparse
import codecs
import os
import sys
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import TextIO

from . import __version__
from .analysis import Analysis, Row, analyse_all, clean
from .formats import FORMATS
from .progress import Progress
from .report import StatementResult
from .splitter import Statement, split_statements
from .statements import Plan, plan_statement

PROG = "sql-lineage"
STDIN = "-"

EXIT_OK = 0
EXIT_FAILED = 1       # some file or statement could not be analysed
EXIT_USAGE = 2        # bad arguments (argparse uses 2 as well)


@dataclass(frozen=True, slots=True)
class Source:
    name: str                 # as shown in output and messages
    text: str | None          # None when the source could not be read
    error: str | None = None
    note: str | None = None


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Print the column lineage of SQL statements: for each output column, "
        "the table and column it comes from.",
        epilog="Statements are separated by ';' (outside quotes and comments). SELECT, "
        "INSERT ... SELECT and CREATE TABLE/VIEW ... AS SELECT are analysed; other "
        "statements are reported as skipped. Exit status: 0 when every statement was "
        "analysed or skipped, 1 when a file or statement failed, 2 for bad arguments.",
    )
    parser.add_argument(
        "paths", nargs="*", metavar="PATH",
        help="SQL files, folders (searched for *.sql) or '-' for standard input "
        "(the default when no path is given)",
    )
    parser.add_argument(
        "-f", "--format", choices=sorted(FORMATS), default="table",
        help="output format (default: table)",
    )
    parser.add_argument(
        "-j", "--jobs", type=_positive_int, default=_cpu_count(),
        help="worker processes for the analysis; 1 analyses in this process "
        "(default: the number of cores, %(default)s here)",
    )
    parser.add_argument(
        "--encoding", default="utf-8", type=_encoding,
        help="text encoding of the input (default: utf-8)",
    )
    parser.add_argument(
        "--no-progress", action="store_true",
        help="never show the progress line (it is shown only when standard error is a terminal)",
    )
    parser.add_argument(
        "-q", "--quiet", action="store_true",
        help="report only failures and skipped statements, no notes or summary",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    return parser


def _cpu_count() -> int:
    counter = getattr(os, "process_cpu_count", os.cpu_count)
    return counter() or 1


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text!r}")
    return value


def _encoding(text: str) -> str:
    try:
        return codecs.lookup(text).name
    except LookupError:
        raise argparse.ArgumentTypeError(f"unknown encoding: {text!r}") from None


# Input.

def find_sources(paths: Sequence[str], encoding: str) -> Iterator[Source]:
    for path in paths or [STDIN]:
        if path == STDIN:
            yield _decode("<stdin>", sys.stdin.buffer.read(), encoding)
        elif os.path.isdir(path):
            found = False
            for file in _sql_files(path):
                found = True
                yield _read(file, encoding)
            if not found:
                yield Source(path, "", note="no .sql files in this folder")
        else:
            yield _read(path, encoding)


def _sql_files(folder: str) -> Iterator[str]:
    """Every *.sql file below `folder`, in name order; hidden folders are left out."""
    for root, dirs, files in os.walk(folder):
        dirs[:] = sorted(d for d in dirs if not d.startswith("."))
        for name in sorted(files):
            if name.lower().endswith(".sql"):
                yield os.path.join(root, name)


def _read(path: str, encoding: str) -> Source:
    try:
        with open(path, "rb") as handle:
            data = handle.read()
    except OSError as exc:
        reason = exc.strerror or str(exc)
        return Source(path, None, f"cannot read the file: {reason}")
    return _decode(path, data, encoding)


def _decode(name: str, data: bytes, encoding: str) -> Source:
    # A UTF-8 byte-order mark is not part of the SQL.
    codec = "utf-8-sig" if encoding == "utf-8" else encoding
    try:
        return Source(name, data.decode(codec))
    except UnicodeDecodeError as exc:
        line = data.count(b"\n", 0, exc.start) + 1
        column = exc.start - (data.rfind(b"\n", 0, exc.start) + 1) + 1
        return Source(
            name, None,
            f"not valid {encoding} text: byte 0x{data[exc.start]:02x} at line {line}, "
            f"column {column} (name the file's encoding with --encoding)",
        )


# The run.

@dataclass
class Run:
    results: list[StatementResult]
    diagnostics: list[tuple[str, str]]  # ("error" | "skipped" | "note", message), in input order
    failed: bool
    sources: int
    distinct: int              # distinct cleaned queries analysed


def run(sources: Sequence[Source], jobs: int, progress_stream: TextIO | None) -> Run:
    # (source, statement, plan, index of its analysis); the statement is None
    # for a source that could not be read.
    planned: list[tuple[Source, Statement | None, Plan | None, int | None]] = []
    texts: list[str] = []
    index_of: dict[str, int] = {}
    for source in sources:
        if source.text is None:
            planned.append((source, None, None, None))
            continue
        if source.note is not None:
            planned.append((source, None, None, None))
        for statement in split_statements(source.text):
            plan = plan_statement(statement)
            slot = None
            if plan.query is not None:
                # Repeats of one query (the same text once comments and blank
                # lines are gone) are analysed once per run.
                key = clean(plan.query)
                slot = index_of.get(key)
                if slot is None:
                    slot = index_of[key] = len(texts)
                    texts.append(plan.query)
            planned.append((source, statement, plan, slot))

    progress = Progress(
        len(texts), progress_stream or sys.stderr, enabled=progress_stream is not None
    )
    try:
        analyses = analyse_all(texts, jobs, progress.update)
    finally:
        progress.close()

    results: list[StatementResult] = []
    diagnostics: list[tuple[str, str]] = []
    failed = False
    for source, read_statement, read_plan, slot in planned:
        if read_statement is None or read_plan is None:
            if source.error is not None:
                diagnostics.append(("error", f"{source.name}: error: {source.error}"))
                failed = True
            else:
                diagnostics.append(("note", f"{source.name}: note: {source.note}"))
            continue
        result = _result(source, read_statement, read_plan, None if slot is None else analyses[slot])
        results.append(result)
        if result.status == "failed":
            failed = True
            diagnostics.append(("error", f"{result.where}: error: {result.message}"))
        elif result.status == "skipped":
            diagnostics.append(("skipped", f"{result.where}: skipped: {result.message}"))
        elif not result.rows:
            diagnostics.append((
                "note",
                f"{result.where}: note: no column lineage (nothing selected comes straight "
                "from a table column)",
            ))
    return Run(results, diagnostics, failed, len(sources), len(texts))


def _result(
    source: Source, statement: Statement, plan: Plan, analysis: Analysis | None
) -> StatementResult:
    rows: tuple[Row, ...] = ()
    if analysis is None:
        status, message = "skipped", plan.reason
    elif analysis.error is not None:
        status, message = "failed", analysis.error
    else:
        status, rows, message = "ok", analysis.rows, None
    return StatementResult(
        source.name, statement.number, statement.line, plan.kind, plan.target, status, rows, message
    )


def summary(outcome: Run) -> str:
    results = outcome.results
    count = {status: sum(r.status == status for r in results) for status in ("ok", "skipped", "failed")}
    queries = count["ok"] + count["failed"]
    text = (
        f"{PROG}: {len(results)} statement{'s' if len(results) != 1 else ''} in "
        f"{outcome.sources} source{'s' if outcome.sources != 1 else ''}: {count['ok']} analysed, "
        f"{count['skipped']} skipped, {count['failed']} failed"
    )
    if queries > outcome.distinct:
        text += f" ({queries - outcome.distinct} repeated queries reused)"
    return text


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        clean("")  # imports the extension
    except ImportError as exc:
        print(f"{PROG}: cannot import the querimo_main extension: {exc}", file=sys.stderr)
        return EXIT_USAGE

    try:
        sources = list(find_sources(args.paths, args.encoding))
        show_progress = not args.no_progress
        outcome = run(sources, args.jobs, sys.stderr if show_progress else None)
        FORMATS[args.format](outcome.results, sys.stdout)
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader went away (e.g. "| head"); say nothing more on a closed pipe.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_FAILED
    except KeyboardInterrupt:
        return 130

    for level, line in outcome.diagnostics:
        if not (args.quiet and level == "note"):
            print(line, file=sys.stderr)
    if not args.quiet:
        if not outcome.results and not outcome.failed:
            print(f"{PROG}: no SQL statements found", file=sys.stderr)
        else:
            print(summary(outcome), file=sys.stderr)
    return EXIT_FAILED if outcome.failed else EXIT_OK

"""sql-lineage: the column lineage of SQL files.

Reads files, folders (every *.sql below them) or standard input and prints one
row per lineage entry. The full engine (`sql_lineage.lineage`) is the default;
`--engine spec` splits the text into statements here and analyses each query
with `VexloParseMain()._parse_sql`, exactly as before. Statements that cannot be
analysed are reported on standard error with their place; the rest still get
their lineage.

Formats are registered in `formats.FORMATS`, sub-commands in `SUBCOMMANDS`.
"""

from __future__ import annotations

import argparse
import codecs
import os
import sys
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, TextIO

from . import __version__
from .analysis import Analysis, Row, analyse_all, clean
from .engine_run import EngineOptions, analyse_sources, options_problem
from .formats import FORMATS
from .logs.options import DATA_FORMATS, add_log_arguments
from .page.command import serve_main, write_html
from .progress import Progress
from .report import DEFAULT_NAMESPACE, Report, StatementResult
from .results import StatementLineage
from .schema_file import SchemaFileError, load_schema
from .splitter import Statement, split_statements
from .statements import Plan, plan_statement
from .trace import Direction, build_script_graph, write_trace_json, write_trace_text

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
        "analysed or skipped, 1 when a file or statement failed (or --trace names a column "
        "the run does not have), 2 for bad arguments or an unusable --schema file.",
    )
    parser.add_argument(
        "paths", nargs="*", metavar="PATH",
        help="SQL files, folders (searched for *.sql) or '-' for standard input "
        "(the default when no path is given)",
    )
    parser.add_argument(
        "-f", "--format", choices=sorted([*FORMATS, "html"]), default="table",
        help="output format (default: table; html writes an interactive page to -o FILE)",
    )
    parser.add_argument(
        "-o", "--output", metavar="PATH",
        help="where -f html (and the data formats) write, instead of standard output",
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

    engine = parser.add_argument_group("analysis")
    engine.add_argument(
        "--engine", choices=ENGINES, default="full",
        help="full: CTEs, expressions, unions, stars and unqualified columns with a schema, "
        "indirect lineage (the default); spec: VexloParseMain()._parse_sql, exactly",
    )
    engine.add_argument(
        "--parser", choices=PARSERS, default=None,
        help="the full engine's SQL front-end (default: the engine's own choice)",
    )
    engine.add_argument(
        "--dialect", default=None, metavar="NAME",
        help="SQL dialect of the input for the full engine (ansi, postgres, mysql, snowflake, "
        "bigquery, hive, spark, databricks, duckdb, sqlite, tsql; default: ansi)",
    )
    engine.add_argument(
        "--schema", metavar="FILE",
        help="the columns of tables, as JSON or YAML: {db: {table: {column: type}}}, "
        "{table: {column: type}} or lists of column names (full engine)",
    )

    trace = parser.add_argument_group("script lineage")
    trace.add_argument(
        "--trace", metavar="[DB.]TABLE.COLUMN",
        help="print this column's chain through every statement of the run, instead of the "
        "lineage rows (as JSON with -f json)",
    )
    trace.add_argument(
        "--downstream", action="store_true",
        help="with --trace: what is made from the column, instead of what it is made from",
    )
    parser.add_argument(
        "--namespace", default=DEFAULT_NAMESPACE,
        help="OpenLineage namespace of the jobs and datasets of -f openlineage "
        "(default: %(default)s)",
    )
    add_log_arguments(parser)
    return parser


ENGINES = ("full", "spec")
PARSERS = ("native", "moz")
FULL_ENGINE_OPTIONS = ("parser", "dialect", "schema")


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


def run_full(
    sources: Sequence[Source], options: EngineOptions, jobs: int, progress_stream: TextIO | None
) -> Run:
    """The full engine over every readable source, results in input order."""
    readable = [source for source in sources if source.text is not None]
    progress = Progress(
        len(readable), progress_stream or sys.stderr, enabled=progress_stream is not None,
        label="parts",
    )
    try:
        analysed = analyse_sources([s.text or "" for s in readable], options, jobs, progress)
    finally:
        progress.close()
    found = dict(zip(map(id, readable), analysed))

    results: list[StatementResult] = []
    diagnostics: list[tuple[str, str]] = []
    failed = False
    for source in sources:
        if source.text is None or source.note is not None:
            if source.error is not None:
                diagnostics.append(("error", f"{source.name}: error: {source.error}"))
                failed = True
            else:
                diagnostics.append(("note", f"{source.name}: note: {source.note}"))
        for record in found.get(id(source), ()):
            result = _full_result(source, record)
            results.append(result)
            failed |= _report_full(result, diagnostics)
    return Run(results, diagnostics, failed, len(sources), len(results))


def _full_result(source: Source, record: StatementLineage) -> StatementResult:
    return StatementResult(
        source.name, record.index, record.line, record.kind, record.target, record.status,
        message=record.message, lineage=record,
    )


def _report_full(result: StatementResult, diagnostics: list[tuple[str, str]]) -> bool:
    """Adds the statement's messages; True when it failed."""
    if result.status == "failed":
        diagnostics.append(("error", f"{result.where}: error: {result.message}"))
        return True
    if result.status == "skipped":
        diagnostics.append(("skipped", f"{result.where}: skipped: {result.message}"))
        return False
    for problem in result.problems:
        diagnostics.append(("note", f"{result.where}: warning: {problem}"))
    if next(result.full_rows(), None) is None:
        diagnostics.append((
            "note", f"{result.where}: note: no column lineage (no output column reads a table column)"
        ))
    return False


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


# Sub-commands: `sql-lineage NAME ...` runs SUBCOMMANDS[NAME] with the rest of
# the arguments and returns its exit status.
SUBCOMMANDS: dict[str, Callable[[list[str]], int]] = {
    "serve": lambda arguments: serve_main(arguments, PROG),
}


def main(argv: Sequence[str] | None = None) -> int:
    arguments = list(sys.argv[1:] if argv is None else argv)
    if arguments and arguments[0] in SUBCOMMANDS:
        return SUBCOMMANDS[arguments[0]](arguments[1:])
    parser = build_parser()
    args = parser.parse_args(arguments)
    problem = _check_options(args)
    if problem is not None:
        parser.error(problem)
    schema: Mapping[str, Any] | None = None
    if args.schema is not None:
        try:
            schema = load_schema(args.schema)
            _check_schema(args.schema, schema)
        except SchemaFileError as exc:
            print(f"{PROG}: {exc}", file=sys.stderr)
            return EXIT_USAGE
    options = EngineOptions(schema, args.dialect, args.parser)
    try:
        if args.engine == "spec":
            clean("")  # imports the extension
        else:
            refused = options_problem(options)
            if refused is not None:
                print(f"{PROG}: {refused}", file=sys.stderr)
                return EXIT_USAGE
    except ImportError as exc:
        print(f"{PROG}: cannot import the lineage engine: {exc}", file=sys.stderr)
        return EXIT_USAGE

    if args.log or args.format in DATA_FORMATS:
        from .logs.command import run_log_command

        return run_log_command(args, schema)

    try:
        sources = list(find_sources(args.paths, args.encoding))
        progress = None if args.no_progress else sys.stderr
        if args.engine == "spec":
            outcome = run(sources, args.jobs, progress)
        else:
            outcome = run_full(sources, options, args.jobs, progress)
        report = Report(outcome.results, args.engine, args.namespace)
        written = True  # False when the output could not say what was asked
        if args.trace is not None:
            written = _write_trace(report, args.trace, args.downstream, args.format, sys.stdout)
        elif args.format == "html":
            written = write_html(report.results, args.output, args.paths, PROG)
        else:
            FORMATS[args.format](report, sys.stdout)
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
    return EXIT_FAILED if outcome.failed or not written else EXIT_OK


TRACE_FORMATS = ("table", "json")


def _check_options(args: argparse.Namespace) -> str | None:
    """Why the options do not go together, or None."""
    if args.engine == "spec":
        given = [f"--{name}" for name in FULL_ENGINE_OPTIONS if getattr(args, name) is not None]
        if given:
            return f"{', '.join(given)} need{'s' if len(given) == 1 else ''} the full engine, not --engine spec"
    if args.format == "html" and args.output is None:
        return "-f html writes a page: name its file with -o FILE"
    if args.downstream and args.trace is None:
        return "--downstream goes with --trace"
    if args.trace is not None and args.format not in TRACE_FORMATS:
        return f"--trace prints text, or JSON with -f json, not -f {args.format}"
    return None


def _check_schema(path: str, schema: Mapping[str, Any]) -> None:
    """The engine's own check of the schema's shape, before any statement is read."""
    from .schema import normalise_schema

    try:
        normalise_schema(schema)
    except ValueError as exc:
        raise SchemaFileError(f"{path}: {exc}") from None


def _write_trace(report: Report, column: str, downstream: bool, fmt: str, out: TextIO) -> bool:
    graph = build_script_graph(report.results)
    direction: Direction = "downstream" if downstream else "upstream"
    if fmt == "json":
        return write_trace_json(graph, column, direction, out)
    return write_trace_text(graph, column, direction, out)

"""Runs the full lineage engine over the sources of one command run.

Each source (file or standard input) is handed to `lineage()` whole: the engine
splits it into statements itself, numbers them within the source and counts
their lines from the top of it, so `file:N` and the lines it reports are the
source's own, and a table that an earlier statement of the source writes is
known to later ones. Should the engine fail on a text as a whole, the text is
split here and each statement analysed alone, so one bad statement costs only
itself.

Sources are analysed in worker processes, each with the schema given on the
command line; a large source that writes no table is cut into runs of
statements, so that its queries are spread over the workers too. Tables written
by earlier sources must be known to later ones as well; a source (or run) that
mentions the name of such a table is therefore analysed again, in order, with the
schema grown by everything before it wrote. Those that mention none of them
cannot differ and keep their first result, so independent files keep all the
workers' speed.
"""

from __future__ import annotations

import functools
import inspect
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, replace
from typing import Any

from .analysis import MESSAGE_LIMIT
from .lexer import Kind, tokens
from .progress import Progress
from .report import split_qualified_name
from .results import StatementLineage
from .splitter import split_statements
from .statements import plan_statement
from .workers import map_in_processes

Schema = Mapping[str, Any]


@dataclass(frozen=True, slots=True)
class EngineOptions:
    schema: Schema | None = None
    dialect: str | None = None  # None: the engine's default
    parser: str | None = None


def lineage_call(text: str, options: EngineOptions, schema: Schema | None) -> list[StatementLineage]:
    from .engine import lineage

    keywords: dict[str, Any] = {}
    if schema is not None:
        keywords["schema"] = schema
    if options.dialect is not None:
        keywords["dialect"] = options.dialect
    if options.parser is not None:
        keywords["parser"] = options.parser
    return list(lineage(text, **keywords))


def options_problem(options: EngineOptions) -> str | None:
    """What the engine says against the parser or dialect asked for, before any work."""
    try:
        lineage_call("", options, None)
    except (TypeError, ValueError) as exc:
        return str(exc)
    return None


def analyse_source(text: str, options: EngineOptions, schema: Schema | None = None) -> tuple[StatementLineage, ...]:
    """The lineage of every statement of one source, in order."""
    try:
        return tuple(lineage_call(text, options, schema))
    except Exception:  # noqa: BLE001 - retried statement by statement, which reports it
        return tuple(_statement_by_statement(text, options, schema))


def _statement_by_statement(
    text: str, options: EngineOptions, schema: Schema | None
) -> list[StatementLineage]:
    found: list[StatementLineage] = []
    for statement in split_statements(text):
        try:
            records = lineage_call(statement.text, options, schema)
        except Exception as exc:  # noqa: BLE001 - one statement's failure is reported, not fatal
            kind = plan_statement(statement).kind
            found.append(StatementLineage(
                statement.number, statement.line, kind if kind != "skipped" else "select",  # type: ignore[arg-type]
                None, "failed", _failure(exc), sql=statement.text))
            continue
        # The piece is one statement as far as the splitter goes; keep its number and
        # count the engine's lines from the top of the source. The piece starts
        # where the ";" before it ends, lines before the statement's first token.
        piece_line = statement.line - statement.text.count("\n", 0, statement.tokens[0].start)
        for record in records:
            found.append(replace(record, index=statement.number, line=piece_line + record.line - 1))
    return found


def _failure(exc: BaseException) -> str:
    if isinstance(exc, RecursionError):
        return "the query is nested too deeply to analyse"
    text = " ".join(str(exc).split())
    message = f"{type(exc).__name__}: {text}" if text else type(exc).__name__
    return message if len(message) <= MESSAGE_LIMIT else message[:MESSAGE_LIMIT - 3] + "..."


LOST: tuple[StatementLineage, ...] = (
    StatementLineage(1, 1, "select", None, "failed", "the analysis process ended abruptly"),
)


@dataclass(frozen=True, slots=True)
class Unit:
    """A piece of work: a whole source, or a run of statements of a large one."""

    source: int  # index of the source
    text: str
    # For a run of statements: the number and line of each in its source.
    places: tuple[tuple[int, int], ...] | None = None


def analyse_sources(
    texts: Sequence[str], options: EngineOptions, jobs: int, progress: Progress | None = None
) -> list[tuple[StatementLineage, ...]]:
    """The lineage of every statement of every source, in order, sources grouped."""
    units = _units(texts, options, jobs)
    if progress is not None:
        progress.total = len(units)
    analyse: Callable[[str], tuple[StatementLineage, ...]] = functools.partial(
        analyse_source, options=options, schema=options.schema)
    first = map_in_processes(
        analyse, [unit.text for unit in units], jobs, LOST,
        (lambda: None) if progress is None else progress.update,
    )
    known: set[str] = set()
    if options.schema is not None:
        from .schema import normalise_schema

        known = set(normalise_schema(options.schema))
    written: dict[str, tuple[str, tuple[str, ...]]] = {}  # lower-cased name -> (name, columns)
    final: list[list[StatementLineage]] = [[] for _ in texts]
    whole: set[int] = set()  # sources whose runs of statements the engine read otherwise
    for unit, results in zip(units, first):
        if unit.source in whole:
            continue
        if written and _mentions(unit.text, written):
            results = analyse_source(unit.text, options, grow_schema(options.schema, written.values()))
        placed = _placed(results, unit)
        if placed is None:
            # Analysed again whole, with what the sources before it wrote.
            whole.add(unit.source)
            schema = grow_schema(options.schema, written.values()) if written else options.schema
            placed = analyse_source(texts[unit.source], options, schema)
            final[unit.source] = []
        final[unit.source].extend(placed)
        record_written(placed, written, known)
    return [tuple(records) for records in final]


# A large source of queries is cut into runs of statements for the workers when
# the engine splits text the way the command does (the moz front-end), so each
# record can be given its statement's own number and line.
LARGE_SOURCE = 32 * 1024  # characters
RUNS_PER_WORKER = 8


def _units(texts: Sequence[str], options: EngineOptions, jobs: int) -> list[Unit]:
    units: list[Unit] = []
    cut = jobs > 1 and any(len(text) >= LARGE_SOURCE for text in texts) and _splits_like_the_command(options)
    for index, text in enumerate(texts):
        statements = split_statements(text) if cut and len(text) >= LARGE_SOURCE else []
        # A source that writes tables keeps its statements together: later ones
        # may read what earlier ones write.
        if len(statements) < 2 * jobs or any(plan_statement(s).target is not None for s in statements):
            units.append(Unit(index, text))
            continue
        size = max(1, len(statements) // (jobs * RUNS_PER_WORKER))
        for start in range(0, len(statements), size):
            run = statements[start:start + size]
            # A newline before each ";" ends a trailing line comment first.
            units.append(Unit(index, "\n;\n".join(s.text for s in run),
                              tuple((s.number, s.line) for s in run)))
    return units


def _splits_like_the_command(options: EngineOptions) -> bool:
    from .engine import lineage

    parser = options.parser or inspect.signature(lineage).parameters["parser"].default
    return bool(parser == "moz")


def _placed(records: Sequence[StatementLineage], unit: Unit) -> Sequence[StatementLineage] | None:
    """The records of a unit numbered within its source; None when a run of statements
    did not come back one record per statement."""
    if unit.places is None:
        return records
    if len(records) != len(unit.places):
        return None
    return [replace(r, index=number, line=line) for r, (number, line) in zip(records, unit.places)]


def record_written(
    results: Sequence[StatementLineage], written: dict[str, tuple[str, tuple[str, ...]]],
    known: set[str],
) -> None:
    """Adds the tables the statements define to `written`: CREATE TABLE/VIEW ... AS
    defines its table; an INSERT names the columns of a table known neither from the
    schema nor from an earlier write; a table whose columns include "*" is not known."""
    for record in results:
        if record.status != "ok" or record.target is None:
            continue
        key = record.target.lower()
        if record.kind == "insert":
            if key in written or key in known or split_qualified_name(key)[1] in known:
                continue
        elif record.kind not in ("create table", "create view"):
            continue
        columns = tuple(c.name for c in record.columns)
        if "*" in columns or not columns:
            written.pop(key, None)
        else:
            written[key] = (record.target, columns)


def _mentions(text: str, written: Mapping[str, tuple[str, tuple[str, ...]]]) -> bool:
    """The text names one of the written tables (a cheap over-estimate of reading it)."""
    names = {split_qualified_name(key)[1] for key in written}
    return any(
        t.kind in (Kind.WORD, Kind.QUOTED) and t.name.lower() in names for t in tokens(text)
    )


def grow_schema(schema: Schema | None, tables: Iterable[tuple[str, tuple[str, ...]]]) -> Schema:
    """The given schema with the written tables added, replacing what it said of them.

    A written table goes in under its whole dotted name as a list of columns, a
    shape the engine reads as that qualified table, whatever the depth of the rest.
    """
    grown: dict[str, Any] = dict(schema or {})
    for name, columns in tables:
        grown[name] = list(columns)
    return grown

"""One partition of a log, read, analysed and written where it runs.

The same function runs in this process, in the local worker pool and on Dask
workers; it returns counts only. Each process keeps its analyser and its cache
of results by statement shape across the partitions it is given.
"""

from __future__ import annotations

import os
import time
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass, field, fields
from typing import Any

from ..results import StatementLineage
from .engine import Analyse, make_analyser
from .readers import Partition, read_partition
from .shapes import ShapeCache, shape_id, shape_of
from .sinks import ParquetSink, Sink, Statement, TextSink
from .tables import KeptColumn, converter

NO_STATEMENT = "no SQL statement in the query cell"


@dataclass(frozen=True, slots=True)
class LogJob:
    """What every partition of a run shares."""

    folder: str                   # where the parts go
    run: str                      # names the run: each run starts with empty caches
    output: str                   # "parquet" (also for databases), "csv" or "json"
    kept: tuple[KeptColumn, ...]
    encoding: str = "utf-8"
    dialect: str = "ansi"
    schema: Any = None
    engine: str = "full"          # "spec": the classic parse driver
    parser: str | None = None     # the full engine's front-end, when not its default
    cache_limit: int = 20000


@dataclass
class Counts:
    rows: int = 0
    problem_rows: int = 0         # rows with no usable query (only in problems)
    cell_problems: int = 0        # kept cells that did not fit their column's type
    statements: int = 0
    ok: int = 0
    skipped: int = 0
    failed: int = 0
    lineage: int = 0
    indirect: int = 0
    analysed: int = 0             # cache misses: texts given to the engine
    reused: int = 0               # rows answered from the cache
    seconds: float = 0.0
    workers: set[str] = field(default_factory=set)

    def add(self, other: Counts) -> None:
        for f in fields(self):
            if f.name == "workers":
                self.workers |= other.workers
            else:
                setattr(self, f.name, getattr(self, f.name) + getattr(other, f.name))


def compact(results: Sequence[StatementLineage]) -> tuple[Statement, ...]:
    failed = any(s.status == "failed" for s in results)
    return tuple(
        Statement(
            failed, s.index, s.kind, s.target, s.status, s.message,
            " | ".join(s.problems) or None,
            tuple((c.name, src.database, src.table, src.column, src.transformation,
                   src.ambiguous) for c in s.columns for src in c.sources),
            tuple((i.database, i.table, i.column, i.kind, i.ambiguous) for i in s.indirect),
        )
        for s in results
    )


class _ProcessState:
    def __init__(self, job: LogJob) -> None:
        self.key = _state_key(job)
        self.analyse: Analyse = make_analyser(job.engine, job.dialect, job.schema, job.parser)
        self.cache: ShapeCache[int, tuple[Statement, ...]] = ShapeCache(job.cache_limit)


_state: _ProcessState | None = None


def _state_key(job: LogJob) -> tuple[object, ...]:
    # One cache per run, so that each run's counts are its own.
    return (job.run, job.engine, job.parser, job.dialect, job.cache_limit, repr(job.schema))


def _process_state(job: LogJob) -> _ProcessState:
    global _state
    if _state is None or _state.key != _state_key(job):
        _state = _ProcessState(job)
    return _state


@dataclass(frozen=True, slots=True)
class Prepared:
    """A log row read and made ready for the analysis: kept cells converted,
    statement shape found."""

    file: str
    row: int
    kept: tuple[Any, ...]
    query: str | None
    problem: str | None                  # why there is no query
    shape: int                           # the shape's id (the row's number without a query)
    cell_problems: tuple[tuple[str, str], ...] = ()   # (kept column, why its cell is null)
    shape_text: str | None = None        # the shape itself, when at hand


def prepare(part: Partition, job: LogJob) -> Iterator[Prepared]:
    converters = [converter(k.type) for k in job.kept]
    path = part.file.path
    for entry in read_partition(part, job.encoding):
        kept = list(entry.kept)
        problems = []
        for i, (convert, value) in enumerate(zip(converters, kept)):
            try:
                kept[i] = convert(value)
            except (ValueError, TypeError, OverflowError):
                kept[i] = None
                column = job.kept[i]
                problems.append((column.name, f"{value!r} is not a value of type {column.type}"))
        shape = None if entry.query is None else shape_of(entry.query, job.dialect)
        key = entry.row if shape is None else shape_id(shape)
        yield Prepared(path, entry.row, tuple(kept), entry.query, entry.problem, key,
                       tuple(problems), shape)


def analyse_and_write(
    rows: Iterable[Prepared], job: LogJob, index: int, *, shapes_meet: bool = False
) -> Counts:
    """Analyses each row (once per shape in this process) and writes part `index`.

    `shapes_meet`: the rows were gathered by shape, so that no other part holds
    these shapes; the cache then only needs to last for this part.
    """
    began = time.perf_counter()
    state = _process_state(job)
    if shapes_meet:
        state.cache.clear()
    counts = Counts(workers={f"{os.uname().nodename}:{os.getpid()}"})
    sink: Sink = (ParquetSink(job.folder, index, job.kept) if job.output == "parquet"
                  else TextSink(job.folder, index, job.kept, job.output))
    seen: set[int] = set()
    for entry in rows:
        counts.rows += 1
        path, row, values = entry.file, entry.row, entry.kept
        for column, problem in entry.cell_problems:
            counts.cell_problems += 1
            sink.problem(path, row, values, column, problem)
        if entry.query is None:
            counts.problem_rows += 1
            sink.problem(path, row, values, None, entry.problem or "no query")
            continue
        key = entry.shape
        statements = state.cache.get(key)
        # A failure's message may quote the text it stopped at, literals included:
        # each failing row gets its own.
        if statements is None or statements and statements[0].failed_any:
            statements = compact(state.analyse(entry.query))
            state.cache.put(key, statements)
            counts.analysed += 1
        else:
            counts.reused += 1
        if key not in seen:
            seen.add(key)
            sink.shape(key, entry.shape_text or shape_of(entry.query, job.dialect))
        if not statements:
            counts.problem_rows += 1
            sink.problem(path, row, values, None, NO_STATEMENT)
            continue
        for st in statements:
            counts.statements += 1
            counts.lineage += len(st.lineage)
            counts.indirect += len(st.indirect)
            if st.status == "ok":
                counts.ok += 1
            elif st.status == "skipped":
                counts.skipped += 1
            else:
                counts.failed += 1
            sink.statement(path, row, values, key, st)
    sink.close()
    counts.seconds = time.perf_counter() - began
    return counts


def process_partition(part: Partition, job: LogJob) -> Counts:
    """One partition of the log, read, analysed and written where it runs."""
    return analyse_and_write(prepare(part, job), job, part.index)

"""`sql-lineage --log ...`: the options for query logs and the run."""

from __future__ import annotations

import argparse
import functools
import os
import shutil
import sys
import tempfile
import uuid
from collections.abc import Sequence
from typing import Any

from .database import DATABASES, distinct_shapes, load
from .options import DATA_FORMATS, TEXT_FORMATS
from .readers import LogError, LogFile, Partition, expand, format_of, open_log
from .readers import plan_partitions, read_partition
from .runners import Outcome, run_dask, run_local
from .sinks import csv_header, part_path
from .tables import TABLES, KeptColumn, infer_type, output_name
from .work import LogJob

PROG = "sql-lineage"
TYPE_SAMPLE_ROWS = 1000
# Partitions small enough that a worker's memory does not depend on the log's
# length, and at least four per worker for small logs.
MIN_PARTITION = 256 << 10
MAX_PARTITION = 4 << 20


def run_log_command(args: argparse.Namespace, schema: Any = None) -> int:
    """The run for `--log`; returns the exit status. `schema` is the loaded
    --schema, for the full engine."""
    fmt = "csv" if args.format == "table" else args.format
    output = getattr(args, "output", None)
    if not args.log:
        return _usage(f"-f {fmt} is for query logs: name them with --log")
    if getattr(args, "paths", None):
        return _usage("give SQL files or --log query logs, not both")
    if fmt not in (*DATA_FORMATS, *TEXT_FORMATS):
        return _usage(f"-f {fmt} is not available for query logs; use one of "
                      f"{', '.join(TEXT_FORMATS + DATA_FORMATS)}")
    if fmt in DATA_FORMATS and not output:
        return _usage(f"-f {fmt} writes to -o {'DIR' if fmt == 'parquet' else 'FILE'}")
    try:
        files = _open_logs(args)
        kept = _kept_columns(files, _keep_names(args.keep), args.encoding)
    except (LogError, OSError) as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 1

    workers = max(1, args.jobs)
    use_dask = bool(args.dask or args.scheduler)
    folder, staging = _folders(fmt, output)
    job = LogJob(folder, uuid.uuid4().hex, "parquet" if fmt in DATA_FORMATS else fmt, tuple(kept),
                 encoding=args.encoding, dialect=getattr(args, "dialect", None) or "ansi",
                 schema=schema, cache_limit=max(1, args.shape_cache),
                 engine=getattr(args, "engine", None) or "full",
                 parser=getattr(args, "parser", None))
    partitions = plan_partitions(files, args.partition_size or _partition_bytes(files, workers))
    finish = functools.partial(finalise, folder, fmt if fmt in DATABASES else None, output)
    progress = None if args.no_progress else sys.stderr
    try:
        if use_dask:
            outcome = run_dask(partitions, job, finish, scheduler=args.scheduler,
                               workers=workers, progress_stream=progress,
                               shuffle=args.shuffle_shapes)
        else:
            outcome = run_local(partitions, job, workers, finish, progress)
        if fmt in TEXT_FORMATS:
            _print_parts(fmt, folder, partitions, kept)
    except (LogError, OSError) as exc:  # OSError: also a scheduler that cannot be reached
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 1
    finally:
        if staging:
            shutil.rmtree(folder, ignore_errors=True)
    if not args.quiet:
        for worker in outcome.lost_workers:
            print(f"{PROG}: note: Dask worker {worker} was lost during the run; "
                  "its partitions ran again on other workers", file=sys.stderr)
        print(summary(outcome, len(files), fmt, output), file=sys.stderr)
    c = outcome.counts
    return 1 if c.failed or c.problem_rows or c.cell_problems else 0


def _usage(message: str) -> int:
    print(f"{PROG}: error: {message}", file=sys.stderr)
    return 2


def _keep_names(values: Sequence[str]) -> list[str]:
    names = [name.strip() for value in values for name in value.split(",") if name.strip()]
    return list(dict.fromkeys(names))


def _open_logs(args: argparse.Namespace) -> list[LogFile]:
    keep = _keep_names(args.keep)
    return [
        open_log(path, format_of(path, args.log_format), args.query_column, keep, args.encoding)
        for path in expand(args.log)
    ]


def _kept_columns(files: Sequence[LogFile], names: Sequence[str], encoding: str) -> list[KeptColumn]:
    """Each kept column with its type: a Parquet column's own, or one inferred from
    the first rows of the first text log that has it."""
    kept = []
    for i, name in enumerate(names):
        having = [f for f in files if f.keep[i] is not None]
        if not having:
            raise LogError(f"--keep {name}: no log has this column")
        kept.append(KeptColumn(name, output_name(name), _column_type(having[0], i, encoding)))
    return kept


def _column_type(log: LogFile, i: int, encoding: str) -> Any:
    import pyarrow.parquet as pq  # type: ignore[import-untyped]

    if log.format == "parquet":
        return pq.read_schema(log.path).field(log.keep[i]).type
    sample = []
    for row in read_partition(Partition(log, 0, 0, log.size), encoding):
        sample.append(row.kept[i])
        if len(sample) >= TYPE_SAMPLE_ROWS:
            break
    return infer_type(sample)


def _folders(fmt: str, output: str | None) -> tuple[str, bool]:
    """Where the parts go, and whether that folder is removed after the run."""
    if fmt == "parquet" and output:
        for table in (*TABLES, "shapes"):
            shutil.rmtree(os.path.join(output, table), ignore_errors=True)
        os.makedirs(output, exist_ok=True)
        return output, False
    if fmt in DATABASES and output:
        folder = f"{output}.parts"
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        return folder, True
    return tempfile.mkdtemp(prefix="sql-lineage-"), True


def _partition_bytes(files: Sequence[LogFile], workers: int) -> int:
    total = sum(os.path.getsize(f.path) for f in files)
    return min(MAX_PARTITION, max(MIN_PARTITION, total // (workers * 4) + 1))


def finalise(folder: str, database: str | None, path: str | None) -> int:
    """Runs where the parts are: loads the database when one was asked for, and
    counts the distinct statement shapes."""
    if database and path:
        load(database, folder, path)
    return distinct_shapes(folder)


def _print_parts(fmt: str, folder: str, partitions: Sequence[Partition],
                 kept: Sequence[KeptColumn]) -> None:
    out = sys.stdout
    out.write(csv_header(kept) if fmt == "csv" else "[\n")
    first = True
    for part in partitions:
        with open(part_path(folder, "text", part.index, "txt"), encoding="utf-8") as handle:
            if fmt == "json":
                text = handle.read(1)
                if text and not first:
                    out.write(",\n")
                first = first and not text
                out.write(text)
            shutil.copyfileobj(handle, out)
    if fmt == "json":
        out.write("\n]\n")
    out.flush()
    for part in partitions:
        with open(part_path(folder, "messages", part.index, "txt"), encoding="utf-8") as handle:
            shutil.copyfileobj(handle, sys.stderr)


def summary(outcome: Outcome, files: int, fmt: str, output: str | None) -> str:
    c = outcome.counts
    text = (
        f"{PROG}: {c.rows} log row{'s' if c.rows != 1 else ''} in {files} "
        f"file{'s' if files != 1 else ''}: {c.statements} statements ({c.ok} analysed, "
        f"{c.skipped} skipped, {c.failed} failed), {c.problem_rows} rows without a usable "
        f"query; {outcome.shapes} distinct shapes ({c.analysed} analyses, {c.reused} reused)"
    )
    if c.cell_problems:
        text += f"; {c.cell_problems} kept cells of the wrong type"
    if output and fmt in DATA_FORMATS:
        text += f"; written to {output}"
        if c.problem_rows or c.cell_problems:
            text += " (see its problems table)"
    return text

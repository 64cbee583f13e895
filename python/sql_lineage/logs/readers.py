"""Reading query logs (CSV, JSON lines, Parquet) a partition at a time, streamed.

A log file is cut into partitions that workers read on their own: byte ranges
for CSV and JSON lines, row ranges for Parquet. A text partition owns the
records that start inside its byte range. For CSV the start of a record is a
line end with an even number of quote characters before it (quoted fields may
hold line breaks, and every quote inside a field is doubled), so a partition
finds its first record by counting quotes up to its start, at C speed.

Rows are numbered the way one finds them again: for CSV and JSON lines by the
line of the file where the record starts, for Parquet by the row's position
from 1.
"""

from __future__ import annotations

import csv
import glob
import json
import os
import re
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import Any, Literal

import pyarrow.parquet as pq  # type: ignore[import-untyped]

LogFormat = Literal["csv", "jsonl", "parquet"]
QUERY_COLUMNS = ("query_text", "query", "statement", "sql")

_EXTENSIONS: dict[str, LogFormat] = {
    ".csv": "csv", ".tsv": "csv", ".json": "jsonl", ".jsonl": "jsonl", ".ndjson": "jsonl",
    ".parquet": "parquet", ".pq": "parquet",
}
_BLOCK = 1 << 23
_PARQUET_BATCH = 8192
_INVALID_TEXT = re.compile("[\udc80-\udcff]")

csv.field_size_limit(1 << 30)  # logged statements can be megabytes long


class LogError(Exception):
    """A log that cannot be read at all; the message names the file."""


@dataclass(frozen=True, slots=True)
class LogFile:
    path: str
    format: LogFormat
    columns: tuple[str, ...]
    query_column: str
    keep: tuple[str | None, ...]   # the file's name of each kept column; None: not in this file
    size: int                      # bytes, or rows for Parquet


@dataclass(frozen=True, slots=True)
class Partition:
    file: LogFile
    index: int      # position among all partitions of the run
    start: int      # bytes (rows for Parquet), from 0
    end: int


@dataclass(frozen=True, slots=True)
class LogRow:
    row: int                   # line where the record starts, or Parquet row from 1
    query: str | None          # None when the cell is unusable; `problem` says why
    problem: str | None
    kept: tuple[Any, ...]      # the kept cells as read (str for CSV)


# Finding files and their columns.

def expand(patterns: Sequence[str]) -> list[str]:
    files: list[str] = []
    for pattern in patterns:
        found = sorted(glob.glob(pattern, recursive=True)) if glob.has_magic(pattern) else [pattern]
        found = [f for f in found if not os.path.isdir(f)]
        if not found:
            raise LogError(f"{pattern}: no log file matches")
        files.extend(f for f in found if f not in files)
    return files


def format_of(path: str, override: str | None) -> LogFormat:
    if override:
        return override  # type: ignore[return-value]
    stem, ext = os.path.splitext(path.lower())
    if ext in _EXTENSIONS:
        return _EXTENSIONS[ext]
    raise LogError(f"{path}: cannot tell the log format from the name (use --log-format)")


def open_log(
    path: str, fmt: LogFormat, query_column: str | None, keep: Sequence[str], encoding: str
) -> LogFile:
    """Reads the file's header (CSV), first record (JSON lines) or schema (Parquet)."""
    if fmt == "parquet":
        columns, size = _parquet_columns(path)
    else:
        try:
            size = os.path.getsize(path)
        except OSError as exc:
            raise LogError(f"{path}: cannot read the file: {exc.strerror or exc}") from None
        columns = _csv_header(path, encoding) if fmt == "csv" else _json_keys(path, encoding)
    query = _pick_column(path, columns, query_column, QUERY_COLUMNS)
    kept = tuple(_find(columns, name) for name in keep)
    return LogFile(path, fmt, tuple(columns), query, kept, size)


def _pick_column(
    path: str, columns: Sequence[str], wanted: str | None, defaults: Sequence[str]
) -> str:
    for name in [wanted] if wanted else defaults:
        found = _find(columns, name)
        if found is not None:
            return found
    looked = repr(wanted) if wanted else "any of " + ", ".join(defaults)
    raise LogError(
        f"{path}: no query column ({looked}) among {', '.join(columns) or 'no columns'}"
        " (name it with --query-column)"
    )


def _find(columns: Sequence[str], name: str) -> str | None:
    if name in columns:
        return name
    folded = [c for c in columns if c.casefold() == name.casefold()]
    return folded[0] if folded else None


def _csv_header(path: str, encoding: str) -> list[str]:
    with _open_binary(path) as handle:
        lines = (text for _, text in _lines(handle, encoding, 0))
        try:
            header = next(csv.reader(lines, strict=True, delimiter=_delimiter(path)), None)
        except csv.Error as exc:
            raise LogError(f"{path}: line 1: malformed CSV header: {exc}") from None
    if not header:
        raise LogError(f"{path}: no CSV header (the first line names the columns)")
    return [name.strip() for name in header]


def _json_keys(path: str, encoding: str) -> list[str]:
    with _open_binary(path) as handle:
        for number, (_, line) in enumerate(_lines(handle, encoding, 0), 1):
            if line.strip():
                try:
                    record = json.loads(line)
                except ValueError as exc:
                    raise LogError(f"{path}: line {number}: not JSON: {exc}") from None
                if not isinstance(record, dict):
                    raise LogError(f"{path}: line {number}: a JSON object per line is expected")
                return list(record)
    return []


def _parquet_columns(path: str) -> tuple[list[str], int]:
    try:
        meta = pq.read_metadata(path)
        return list(meta.schema.to_arrow_schema().names), meta.num_rows
    except OSError as exc:
        if isinstance(exc, FileNotFoundError):
            raise LogError(f"{path}: cannot read the file: no such file") from None
        raise LogError(f"{path}: not a readable Parquet file: {exc}") from None
    except Exception as exc:  # pyarrow's ArrowInvalid and friends
        raise LogError(f"{path}: not a readable Parquet file: {exc}") from None


def plan_partitions(files: Sequence[LogFile], partition_bytes: int) -> list[Partition]:
    partitions: list[Partition] = []
    for log in files:
        if log.format == "parquet":
            # Rows per partition in proportion to the file's bytes per row.
            file_bytes = max(1, os.path.getsize(log.path))
            step = max(1, log.size * partition_bytes // file_bytes)
        else:
            step = max(1, partition_bytes)
        for start in range(0, max(log.size, 1), step):
            partitions.append(Partition(log, len(partitions), start, min(start + step, log.size)))
    return partitions


# Reading one partition.

def read_partition(part: Partition, encoding: str) -> Iterator[LogRow]:
    log = part.file
    if log.format == "parquet":
        yield from _parquet_rows(part)
        return
    with _open_binary(log.path) as handle:
        start, line = _record_start(handle, part.start, quoting=log.format == "csv")
        handle.seek(start)
        lines = _lines(handle, encoding, start)
        if log.format == "csv":
            yield from _csv_rows(part, _record_lines(lines, part.end), start, line, encoding)
        else:
            yield from _json_rows(part, lines, line, encoding)


def _open_binary(path: str) -> Any:
    try:
        return open(path, "rb")
    except OSError as exc:
        raise LogError(f"{path}: cannot read the file: {exc.strerror or exc}") from None


def _record_start(handle: Any, offset: int, *, quoting: bool) -> tuple[int, int]:
    """The offset of the first record starting at or after `offset`, and its line."""
    if offset == 0:
        return 0, 1
    handle.seek(0)
    quotes = newlines = 0
    left = offset - 1
    while left > 0:
        block = handle.read(min(_BLOCK, left))
        if not block:
            break
        left -= len(block)
        newlines += block.count(b"\n")
        if quoting:
            quotes += block.count(b'"')
    position = offset - 1 - left
    while True:
        text = handle.readline()
        if not text:
            return position, newlines + 1
        position += len(text)
        if quoting:
            quotes += text.count(b'"')
        if text.endswith(b"\n"):
            newlines += 1
            if quotes % 2 == 0:
                return position, newlines + 1


def _lines(handle: Any, encoding: str, start: int) -> Iterator[tuple[int, str]]:
    """The lines from the handle's position (`start`) with their offsets, decoded;
    bytes that are not valid text stay as lone surrogates for the cell check."""
    codec = "utf-8-sig" if encoding == "utf-8" and start == 0 else encoding
    offset = start
    for raw in handle:
        yield offset, raw.decode(codec, "surrogateescape")
        codec = encoding
        offset += len(raw)


def _delimiter(path: str) -> str:
    return "\t" if path.lower().endswith(".tsv") else ","


def _csv_rows(
    part: Partition, lines: Iterator[str], start: int, first_line: int, encoding: str
) -> Iterator[LogRow]:
    log = part.file
    header = list(log.columns)
    width = len(header)
    query_at = header.index(log.query_column)
    keep_at = [None if name is None else header.index(name) for name in log.keep]
    reader = csv.reader(lines, strict=True, delimiter=_delimiter(log.path))
    row = first_line
    try:
        if start == 0:
            next(reader, None)  # the header
        while True:
            row = first_line + reader.line_num
            record = next(reader, None)
            if record is None:
                return
            if not record:
                continue  # a blank line is no record
            kept = tuple(
                None if at is None or at >= len(record) else _repair(record[at], encoding)
                for at in keep_at
            )
            if len(record) != width:
                yield LogRow(row, None, f"{len(record)} fields where the header has {width}", kept)
                continue
            query, problem = _query_cell(record[query_at], encoding)
            yield LogRow(row, query, problem, kept)
    except csv.Error as exc:
        # `row`: the line where the record that could not be read starts
        raise LogError(f"{log.path}: line {row}: malformed CSV: {exc}") from None


def _record_lines(lines: Iterator[tuple[int, str]], end: int) -> Iterator[str]:
    """The lines of the records that start before `end`. The csv reader asks for a
    line both at a record's start and inside a quoted field; it is at a start
    whenever the quotes read so far are balanced."""
    quotes = 0
    for offset, text in lines:
        if quotes % 2 == 0 and offset >= end:
            return
        quotes += text.count('"')
        yield text


def _json_rows(
    part: Partition, lines: Iterator[tuple[int, str]], first_line: int, encoding: str
) -> Iterator[LogRow]:
    log = part.file
    for line, (offset, text) in enumerate(lines, first_line):
        if offset >= part.end:
            return
        if not text.strip():
            continue
        try:
            record = json.loads(text)
        except ValueError as exc:
            yield LogRow(line, None, f"not a JSON record: {exc}", (None,) * len(log.keep))
            continue
        if not isinstance(record, dict):
            yield LogRow(line, None, "not a JSON object", (None,) * len(log.keep))
            continue
        kept = tuple(None if name is None else record.get(name) for name in log.keep)
        if log.query_column not in record:
            yield LogRow(line, None, f"no {log.query_column!r} field", kept)
            continue
        query, problem = _query_cell(record[log.query_column], encoding)
        yield LogRow(line, query, problem, kept)


def _parquet_rows(part: Partition) -> Iterator[LogRow]:
    log = part.file
    names = [log.query_column] + [n for n in log.keep if n is not None]
    try:
        handle = pq.ParquetFile(log.path)
        meta = handle.metadata
        groups, first = [], None
        row = 0
        for i in range(meta.num_row_groups):
            rows = meta.row_group(i).num_rows
            if row < part.end and row + rows > part.start:
                groups.append(i)
                first = row if first is None else first
            row += rows
        if not groups or first is None:
            return
        row = first
        for batch in handle.iter_batches(batch_size=_PARQUET_BATCH, row_groups=groups,
                                         columns=list(dict.fromkeys(names)), use_threads=False):
            columns = {name: batch.column(name).to_pylist() for name in batch.schema.names}
            queries = columns[log.query_column]
            kept_columns = [None if n is None else columns[n] for n in log.keep]
            for i, cell in enumerate(queries):
                row += 1
                if row <= part.start:
                    continue
                if row > part.end:
                    return
                kept = tuple(None if c is None else c[i] for c in kept_columns)
                query, problem = _query_cell(cell, "utf-8")
                yield LogRow(row, query, problem, kept)
    except LogError:
        raise
    except Exception as exc:
        raise LogError(f"{log.path}: not a readable Parquet file: {exc}") from None


def _query_cell(cell: Any, encoding: str) -> tuple[str | None, str | None]:
    if isinstance(cell, bytes):
        try:
            cell = cell.decode(encoding)
        except UnicodeDecodeError as exc:
            return None, f"query is not valid {encoding} text (byte {exc.start + 1})"
    if cell is None:
        return None, "empty query"
    if not isinstance(cell, str):
        return None, f"query is not text ({type(cell).__name__})"
    bad = _INVALID_TEXT.search(cell)
    if bad:
        return None, f"query is not valid {encoding} text (character {bad.start() + 1})"
    if not cell.strip():
        return None, "empty query"
    return cell, None


def _repair(text: str, encoding: str) -> str:
    if _INVALID_TEXT.search(text):
        return text.encode(encoding, "surrogateescape").decode(encoding, "replace")
    return text

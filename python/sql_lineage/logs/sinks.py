"""Where one partition's results go: Parquet part files, one per table, or text
parts (CSV rows / JSON objects, and messages) that the command prints in order.

Parts are written under a temporary name and renamed when complete, so a
partition that Dask runs again after losing a worker replaces its parts whole.
"""

from __future__ import annotations

import csv
import datetime as dt
import io
import json
import os
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, Protocol

import pyarrow as pa  # type: ignore[import-untyped]
import pyarrow.parquet as pq  # type: ignore[import-untyped]

from .tables import TABLES, KeptColumn, schemas

_FLUSH_ROWS = 16384

# (output column, database, table, column, transformation, ambiguous)
LineageEntry = tuple[str, str | None, str, str, str, bool]
# (database, table, column, kind, ambiguous)
IndirectEntry = tuple[str | None, str, str, str, bool]


@dataclass(frozen=True, slots=True)
class Statement:
    """A statement's result as the shape cache keeps it: nothing that depends on
    the text beyond its shape (not even the line it starts on, which a comment
    before it moves)."""

    failed_any: bool  # whether any statement of its query cell failed
    index: int
    kind: str
    target: str | None
    status: str
    message: str | None
    notes: str | None
    lineage: tuple[LineageEntry, ...]
    indirect: tuple[IndirectEntry, ...]


class Sink(Protocol):
    def statement(self, file: str, row: int, kept: tuple[Any, ...], shape: int,
                  st: Statement) -> None: ...
    def problem(self, file: str, row: int, kept: tuple[Any, ...], column: str | None,
                text: str) -> None: ...
    def shape(self, shape: int, text: str) -> None: ...
    def close(self) -> None: ...


def part_path(folder: str, table: str, index: int, suffix: str = "parquet") -> str:
    return os.path.join(folder, table, f"part-{index:05d}.{suffix}")


def _replace_when_done(path: str) -> str:
    # A hidden name, so that readers of the folder never take a part being written.
    folder, name = os.path.split(path)
    os.makedirs(folder, exist_ok=True)
    return os.path.join(folder, f".{name}.tmp-{os.getpid()}")


class _TablePart:
    """One table's rows of one partition, flushed to Parquet in batches."""

    def __init__(self, path: str, schema: pa.Schema) -> None:
        self.path = path
        self.schema = schema
        self.columns: list[list[Any]] = [[] for _ in schema.names]
        self.writer: pq.ParquetWriter | None = None
        self.temp = _replace_when_done(path)

    def add(self, values: Sequence[Any]) -> None:
        for column, value in zip(self.columns, values):
            column.append(value)
        if len(self.columns[0]) >= _FLUSH_ROWS:
            self.flush()

    def flush(self) -> None:
        if self.writer is None:
            self.writer = pq.ParquetWriter(self.temp, self.schema, compression="zstd")
        if self.columns[0]:
            batch = pa.RecordBatch.from_arrays(
                [pa.array(c, type=f.type) for c, f in zip(self.columns, self.schema)],
                schema=self.schema,
            )
            self.writer.write_batch(batch)
            self.columns = [[] for _ in self.schema.names]

    def close(self) -> None:
        self.flush()
        assert self.writer is not None
        self.writer.close()
        os.replace(self.temp, self.path)


class ParquetSink:
    def __init__(self, folder: str, index: int, kept: Sequence[KeptColumn]) -> None:
        tables = schemas(kept)
        self.parts = {
            name: _TablePart(part_path(folder, name, index), tables[name])
            for name in (*TABLES, "shapes")
        }
        self._statements = self.parts["statements"]
        self._lineage = self.parts["lineage"]
        self._indirect = self.parts["indirect_lineage"]

    def statement(self, file: str, row: int, kept: tuple[Any, ...], shape: int,
                  st: Statement) -> None:
        self._statements.add((file, row, *kept, st.index, shape, st.kind, st.target,
                              st.status, st.message, st.notes))
        for output, database, table, column, how, ambiguous in st.lineage:
            self._lineage.add((file, row, *kept, st.index, st.target, output, database, table,
                               column, how, ambiguous))
        for database, table, column, kind, ambiguous in st.indirect:
            self._indirect.add((file, row, *kept, st.index, st.target, database, table, column,
                                kind, ambiguous))

    def problem(self, file: str, row: int, kept: tuple[Any, ...], column: str | None,
                text: str) -> None:
        self.parts["problems"].add((file, row, *kept, column, text))

    def shape(self, shape: int, text: str) -> None:
        self.parts["shapes"].add((shape, text))

    def close(self) -> None:
        for part in self.parts.values():
            part.close()


CSV_TAIL = ("statement", "target", "database", "table", "source_column", "output_column",
            "transformation")


class TextSink:
    """CSV rows or JSON objects (one per statement) and the messages for standard
    error, as text parts; shapes still go to Parquet, to be counted."""

    def __init__(self, folder: str, index: int, kept: Sequence[KeptColumn], fmt: str) -> None:
        self.fmt = fmt
        self.kept_names = [k.name for k in kept]
        self.path = part_path(folder, "text", index, "txt")
        self.messages_path = part_path(folder, "messages", index, "txt")
        self.out = open(_replace_when_done(self.path), "w", encoding="utf-8", newline="")
        self.messages = open(_replace_when_done(self.messages_path), "w", encoding="utf-8")
        self.csv = csv.writer(self.out, lineterminator="\n")
        self.first = True
        self.shapes = _TablePart(part_path(folder, "shapes", index), schemas(kept)["shapes"])

    def statement(self, file: str, row: int, kept: tuple[Any, ...], shape: int,
                  st: Statement) -> None:
        where = f"{file}:{row}: statement {st.index}"
        if st.status == "failed":
            self.messages.write(f"{where}: error: {st.message}\n")
        elif st.status == "skipped":
            self.messages.write(f"{where}: skipped: {st.message}\n")
        values = [_plain(v) for v in kept]
        if self.fmt == "csv":
            for output, database, table, column, how, _ in st.lineage:
                self.csv.writerow((file, row, *values, st.index, st.target or "",
                                   database or "", table, column, output, how))
            return
        document = {"file": file, "row": row, **dict(zip(self.kept_names, values)),
                    "statement": st.index, "kind": st.kind,
                    "target": st.target, "status": st.status, "message": st.message,
                    "lineage": [
                        {"database": d, "table": t, "source_column": c, "output_column": o,
                         "transformation": how}
                        for o, d, t, c, how, _ in st.lineage
                    ],
                    "indirect": [
                        {"database": d, "table": t, "column": c, "kind": kind}
                        for d, t, c, kind, _ in st.indirect
                    ]}
        text = json.dumps(document, ensure_ascii=False, default=str)
        self.out.write(text if self.first else ",\n" + text)
        self.first = False

    def problem(self, file: str, row: int, kept: tuple[Any, ...], column: str | None,
                text: str) -> None:
        cell = f" (column {column})" if column else ""
        self.messages.write(f"{file}:{row}: error: {text}{cell}\n")

    def shape(self, shape: int, text: str) -> None:
        self.shapes.add((shape, text))

    def close(self) -> None:
        self.out.close()
        self.messages.close()
        os.replace(self.out.name, self.path)
        os.replace(self.messages.name, self.messages_path)
        self.shapes.close()


def _plain(value: Any) -> Any:
    return value.isoformat() if isinstance(value, (dt.datetime, dt.date)) else value


def csv_header(kept: Sequence[KeptColumn]) -> str:
    buffer = io.StringIO()
    csv.writer(buffer, lineterminator="\n").writerow(
        ("file", "row", *(k.name for k in kept), *CSV_TAIL))
    return buffer.getvalue()

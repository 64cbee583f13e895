"""The Dask pipeline of a log run, as a dask.dataframe:

1. each partition of the log is read on a worker into a frame of prepared
   rows (kept cells converted, statement shape found);
2. the rows are shuffled between the workers by shape, so that all rows of one
   shape meet in one partition and each shape is analysed once in the whole
   cluster, not once per worker;
3. each shuffled partition is analysed and written where it lands; its counts
   are all that comes back.

The shuffle is Dask's own (peer to peer, spilling to disk), so a worker's memory
does not grow with the log.
"""

from __future__ import annotations

import json
from collections.abc import Iterator, Sequence
from dataclasses import fields
from typing import Any

import pandas as pd  # type: ignore[import-untyped]
import pyarrow as pa  # type: ignore[import-untyped]

from .readers import Partition
from .work import Counts, LogJob, Prepared, analyse_and_write, prepare

SHAPE = "shape"


def frame_schema(job: LogJob) -> pa.Schema:
    return pa.schema(
        [("file", pa.string()), ("row", pa.int64())]
        + [(f"kept_{i}", k.type) for i, k in enumerate(job.kept)]
        + [("query", pa.string()), ("problem", pa.string()), (SHAPE, pa.int64()),
           ("cell_problems", pa.string())]
    )


def empty_frame(job: LogJob) -> Any:
    return frame_schema(job).empty_table().to_pandas(types_mapper=pd.ArrowDtype)


def prepared_frame(part: Partition, job: LogJob) -> Any:
    schema = frame_schema(job)
    columns: list[list[Any]] = [[] for _ in schema.names]
    for row in prepare(part, job):
        values = (row.file, row.row, *row.kept, row.query, row.problem, row.shape,
                  json.dumps(row.cell_problems) if row.cell_problems else None)
        for column, value in zip(columns, values):
            column.append(value)
    table = pa.Table.from_arrays(
        [pa.array(c, type=f.type) for c, f in zip(columns, schema)], schema=schema)
    return table.to_pandas(types_mapper=pd.ArrowDtype)


def _rows(frame: Any, job: LogJob) -> Iterator[Prepared]:
    table = pa.Table.from_pandas(frame, preserve_index=False)
    data = [table.column(name).to_pylist() for name in frame_schema(job).names]
    width = len(job.kept)
    for values in zip(*data):
        file, row = values[0], values[1]
        kept = values[2:2 + width]
        query, problem, shape, cells = values[2 + width:]
        yield Prepared(file, row, tuple(kept), query, problem, shape,
                       tuple(tuple(c) for c in json.loads(cells)) if cells else ())


COUNT_FIELDS = [f.name for f in fields(Counts) if f.name != "workers"]


def counts_frame(counts: Counts) -> Any:
    data: dict[str, list[Any]] = {name: [getattr(counts, name)] for name in COUNT_FIELDS}
    data["workers"] = [",".join(sorted(counts.workers))]
    return pd.DataFrame(data)


def analysed_frame(frame: Any, job: LogJob, partition_info: dict[str, Any] | None = None) -> Any:
    index = 0 if partition_info is None else int(partition_info["number"])
    # Rows in log order inside the part, as the local run writes them.
    frame = frame.sort_values(["file", "row"], kind="stable")
    return counts_frame(analyse_and_write(_rows(frame, job), job, index, shapes_meet=True))


def counts_of(frame: Any) -> Counts:
    total = Counts()
    for record in frame.to_dict("records"):
        workers = set(filter(None, str(record.pop("workers")).split(",")))
        total.add(Counts(**{k: record[k] for k in COUNT_FIELDS}, workers=workers))
    return total


def pipeline(partitions: Sequence[Partition], job: LogJob) -> Any:
    """The lazy dask.dataframe of per-partition counts."""
    import dask.dataframe as dd

    frames = dd.from_map(prepared_frame, list(partitions), job=job, meta=empty_frame(job),  # type: ignore[no-untyped-call]
                         enforce_metadata=False)
    shuffled = frames.shuffle(on=SHAPE, npartitions=len(partitions))
    meta = counts_frame(Counts()).iloc[:0]
    return shuffled.map_partitions(analysed_frame, job, meta=meta, align_dataframes=False)

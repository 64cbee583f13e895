"""The command's options for query logs (kept free of heavy imports: the command
registers them on every start)."""

from __future__ import annotations

import argparse

LOG_FORMATS = ("csv", "jsonl", "parquet")
DATA_FORMATS = ("parquet", "sqlite", "duckdb")
TEXT_FORMATS = ("csv", "json")


def add_log_arguments(parser: argparse.ArgumentParser) -> None:
    """Registers the query-log options on the command's parser."""
    group = parser.add_argument_group(
        "query logs",
        "Read the statements from query history exported as CSV, JSON lines or Parquet.",
    )
    group.add_argument("--log", action="append", metavar="FILE_OR_GLOB",
                       help="a query log file or glob; repeatable")
    group.add_argument("--log-format", choices=LOG_FORMATS,
                       help="the logs' format (default: from the file extension)")
    group.add_argument("--query-column", metavar="NAME",
                       help="the column holding the statement (default: the first of "
                       "query_text, query, statement, sql, in any case)")
    group.add_argument("--keep", action="append", default=[], metavar="COL,...",
                       help="log columns carried into the output (query id, user, start time...)")
    group.add_argument("--dask", action="store_true",
                       help="run on Dask: a local cluster of -j worker processes, or the "
                       "cluster named by --scheduler")
    group.add_argument("--scheduler", metavar="ADDRESS",
                       help="the address of an existing Dask scheduler (implies --dask)")
    group.add_argument("--shuffle-shapes", action="store_true",
                       help="with --dask, gather the rows of each statement shape on one worker "
                       "first, so that each shape is analysed once in the cluster rather than "
                       "once per worker (worth it when analyses are slow, as with --parser moz)")
    group.add_argument("--partition-size", type=_size, metavar="BYTES",
                       help="bytes of log per partition (default: the logs split evenly over "
                       "the workers, between 256 KiB and 4 MiB)")
    group.add_argument("--shape-cache", type=int, default=20000, metavar="N",
                       help="results kept per worker, by statement shape; the least recently "
                       "used go first (default: 20000)")
    if "--output" not in parser._option_string_actions:
        group.add_argument("-o", "--output", metavar="PATH",
                           help="with -f parquet a folder, with -f sqlite/duckdb a file")
    for action in parser._actions:
        if "--format" in action.option_strings and action.choices is not None:
            action.choices = sorted({*action.choices, *DATA_FORMATS})


def _size(text: str) -> int:
    units = {"k": 1 << 10, "m": 1 << 20, "g": 1 << 30}
    scale = units.get(text[-1:].lower(), 1)
    try:
        value = int(text[:-1] if scale > 1 else text) * scale
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a size: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text!r}")
    return value

"""The tables a log run writes, and the types of the log columns it keeps.

Every table starts with the log row's place (file, row) and the kept log
columns, so each can be read alone:

- statements: one row per statement found in a query cell, with its outcome;
- lineage: one row per (output column, source column) pair of a statement;
- indirect_lineage: one row per column that decides which rows a statement
  produces (joins, filters, grouping, ...);
- problems: one row per log row that could not be analysed at all (empty or
  undecodable query cell, a CSV row of the wrong width, ...) and per kept cell
  that does not fit its column's type;
- shapes: each distinct statement shape once (written per partition, made
  distinct when a database is loaded).
"""

from __future__ import annotations

import datetime as dt
import json
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import pyarrow as pa  # type: ignore[import-untyped]

PLACE = [("file", pa.string()), ("row", pa.int64())]
STATEMENT_COLUMNS = [
    ("statement", pa.int32()), ("shape_id", pa.int64()),
    ("kind", pa.string()), ("target", pa.string()), ("status", pa.string()),
    ("message", pa.string()), ("notes", pa.string()),
]
LINEAGE_COLUMNS = [
    ("statement", pa.int32()), ("target", pa.string()), ("output_column", pa.string()),
    ("source_database", pa.string()), ("source_table", pa.string()),
    ("source_column", pa.string()), ("transformation", pa.string()), ("ambiguous", pa.bool_()),
]
INDIRECT_COLUMNS = [
    ("statement", pa.int32()), ("target", pa.string()), ("source_database", pa.string()),
    ("source_table", pa.string()), ("source_column", pa.string()), ("kind", pa.string()),
    ("ambiguous", pa.bool_()),
]
PROBLEM_COLUMNS = [("column", pa.string()), ("problem", pa.string())]
SHAPE_SCHEMA = pa.schema([("shape_id", pa.int64()), ("shape", pa.string())])

TABLES = ("statements", "lineage", "indirect_lineage", "problems")
_OWN = {"file", "row"} | {name for cols in (STATEMENT_COLUMNS, LINEAGE_COLUMNS,
                                             INDIRECT_COLUMNS, PROBLEM_COLUMNS)
                          for name, _ in cols}


@dataclass(frozen=True, slots=True)
class KeptColumn:
    source: str          # as asked for with --keep
    name: str            # in the output (prefixed when it would clash with ours)
    type: pa.DataType


def schemas(kept: Sequence[KeptColumn]) -> dict[str, pa.Schema]:
    head = PLACE + [(k.name, k.type) for k in kept]
    return {
        "statements": pa.schema(head + STATEMENT_COLUMNS),
        "lineage": pa.schema(head + LINEAGE_COLUMNS),
        "indirect_lineage": pa.schema(head + INDIRECT_COLUMNS),
        "problems": pa.schema(head + PROBLEM_COLUMNS),
        "shapes": SHAPE_SCHEMA,
    }


def output_name(source: str) -> str:
    return f"log_{source}" if source in _OWN else source


# Types of kept columns. Parquet columns keep their own type; CSV cells are text
# and JSON values scalars, so their type is inferred from the first rows.

def infer_type(values: Sequence[Any]) -> pa.DataType:
    present = [v for v in values if v is not None and v != ""]
    if not present:
        return pa.string()
    for candidate, test in _CANDIDATES:
        if all(test(v) for v in present):
            if candidate == "timestamp":
                aware = {_timestamp(v).tzinfo is not None for v in present}
                if len(aware) > 1:
                    return pa.string()
                return pa.timestamp("us", tz="UTC" if aware.pop() else None)
            return _TYPES[candidate]
    return pa.string()


def _is_int(v: Any) -> bool:
    if isinstance(v, bool):
        return False
    if isinstance(v, int):
        return True
    return isinstance(v, str) and _try(int, v)


def _is_float(v: Any) -> bool:
    if isinstance(v, bool):
        return False
    return isinstance(v, (int, float)) or isinstance(v, str) and _try(float, v)


def _is_bool(v: Any) -> bool:
    return isinstance(v, bool) or isinstance(v, str) and v.strip().lower() in ("true", "false")


def _is_timestamp(v: Any) -> bool:
    return isinstance(v, str) and any(c in v for c in "-:") and _try(_timestamp, v)


def _try(make: Callable[[Any], Any], v: Any) -> bool:
    try:
        make(v)
    except (ValueError, TypeError, OverflowError):
        return False
    return True


_CANDIDATES: list[tuple[str, Callable[[Any], bool]]] = [
    ("int", _is_int), ("float", _is_float), ("bool", _is_bool), ("timestamp", _is_timestamp),
]
_TYPES = {"int": pa.int64(), "float": pa.float64(), "bool": pa.bool_()}


def _timestamp(v: Any) -> dt.datetime:
    if isinstance(v, dt.datetime):
        return v
    return dt.datetime.fromisoformat(str(v).strip())


def converter(kind: pa.DataType) -> Callable[[Any], Any]:
    """Makes a kept cell a value of the column's type; raises ValueError when it
    is not one. Empty CSV cells are nulls, except in text columns."""
    if pa.types.is_string(kind):
        return _text
    if pa.types.is_int64(kind):
        return _empty_or(lambda v: v if isinstance(v, int) and not isinstance(v, bool)
                         else int(str(v).strip()))
    if pa.types.is_float64(kind):
        return _empty_or(lambda v: float(v) if not isinstance(v, bool) else _reject(v))
    if pa.types.is_boolean(kind):
        return _empty_or(_bool)
    if pa.types.is_timestamp(kind):
        utc = kind.tz is not None
        return _empty_or(lambda v: _utc(_timestamp(v)) if utc else _naive(_timestamp(v)))
    return lambda v: v  # Parquet columns of any other type pass as they are


def _text(v: Any) -> Any:
    if v is None or isinstance(v, str):
        return v
    if isinstance(v, (dict, list)):
        return json.dumps(v, ensure_ascii=False)
    return str(v)


def _empty_or(convert: Callable[[Any], Any]) -> Callable[[Any], Any]:
    def run(v: Any) -> Any:
        if v is None or v == "":
            return None
        if isinstance(v, (dict, list)):
            raise ValueError("a nested value")
        return convert(v)
    return run


def _reject(v: Any) -> Any:
    raise ValueError(repr(v))


def _bool(v: Any) -> bool:
    if isinstance(v, bool):
        return v
    text = str(v).strip().lower()
    if text not in ("true", "false"):
        raise ValueError(text)
    return text == "true"


def _utc(value: dt.datetime) -> dt.datetime:
    if value.tzinfo is None:
        raise ValueError("no time zone")
    return value.astimezone(dt.timezone.utc)


def _naive(value: dt.datetime) -> dt.datetime:
    if value.tzinfo is not None:
        raise ValueError("a time zone where the column has none")
    return value

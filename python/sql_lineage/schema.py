"""The schema argument of `lineage`: which columns the tables have.

Accepted shapes (the ones users know from other SQL tools), at any depth of
qualifiers:

    {"db": {"orders": {"id": "int", "amount": "decimal"}}}
    {"orders": {"id": "int", "amount": "decimal"}}
    {"db": {"orders": ["id", "amount"]}}   # column lists instead of {column: type}

A table is a mapping of column names to types (str) or a list of column names;
everything above it is a mapping of names. Names compare case-insensitively.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence

# folded "db.table" -> column names; "*.table" for a qualified table that is the
# only one of its name, which a query naming just "table" reads.
NormalisedSchema = dict[str, tuple[str, ...]]


def normalise_schema(schema: Mapping[str, object]) -> NormalisedSchema:
    if not isinstance(schema, Mapping):
        raise ValueError(f"schema must be a mapping of table names, not {type(schema).__name__}")
    tables: NormalisedSchema = {}
    _collect(schema, (), tables)
    # An unqualified name in a query finds a qualified table when no other
    # table of the schema has that name.
    by_name: dict[str, list[str]] = {}
    for key in tables:
        if "." in key:
            by_name.setdefault(key.rsplit(".", 1)[1], []).append(key)
    for name, keys in by_name.items():
        if len(keys) == 1 and name not in tables:
            tables[f"*.{name}"] = tables[keys[0]]
    return tables


def _collect(node: Mapping[str, object], path: tuple[str, ...], tables: NormalisedSchema) -> None:
    for name, value in node.items():
        if not isinstance(name, str) or not name:
            raise ValueError(f"schema: {_where(path)}names must be non-empty str, not {name!r}")
        here = (*path, name)
        columns = _columns(value, here)
        if columns is not None:
            tables[".".join(here).lower()] = columns
        elif isinstance(value, Mapping):
            if len(here) > 4:
                raise ValueError(f"schema: {'.'.join(here)} is nested more deeply than catalog.db.table")
            _collect(value, here, tables)
        else:
            raise ValueError(
                f"schema: {'.'.join(here)} must be a mapping of column names to types, a list of "
                f"column names, or a mapping of table names, not {type(value).__name__}"
            )


def _columns(value: object, path: tuple[str, ...]) -> tuple[str, ...] | None:
    """The columns when `value` is a table; None when it is a level above tables."""
    if isinstance(value, Mapping):
        if value and all(isinstance(v, str) for v in value.values()):
            names = tuple(value)
        elif value and any(isinstance(v, str) for v in value.values()):
            raise ValueError(f"schema: {'.'.join(path)} mixes column types with nested tables")
        else:
            return None
    elif isinstance(value, Sequence) and not isinstance(value, (str, bytes)):
        names = tuple(value)
    else:
        return None
    for column in names:
        if not isinstance(column, str) or not column:
            raise ValueError(f"schema: the columns of {'.'.join(path)} must be non-empty str, not {column!r}")
    return names


def _where(path: tuple[str, ...]) -> str:
    return f"under {'.'.join(path)}, " if path else ""

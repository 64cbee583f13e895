"""Reads the file named by `--schema`: JSON, or YAML when its name says so.

The shapes the engine accepts ({db: {table: {column: type}}}, {table: {column:
type}}, lists of column names) are checked by the engine itself; here a file
must be readable, parse, and hold a mapping at the top.
"""

from __future__ import annotations

import json
from collections.abc import Mapping
from typing import Any

YAML_SUFFIXES = (".yaml", ".yml")


class SchemaFileError(Exception):
    """The schema file cannot be used; the message says why, naming the file."""


def load_schema(path: str, encoding: str = "utf-8") -> Mapping[str, Any]:
    try:
        with open(path, encoding=encoding) as handle:
            text = handle.read()
    except OSError as exc:
        raise SchemaFileError(f"{path}: cannot read the schema file: {exc.strerror or exc}") from None
    except UnicodeDecodeError as exc:
        raise SchemaFileError(f"{path}: the schema file is not valid {encoding} text: {exc.reason}") from None
    if path.lower().endswith(YAML_SUFFIXES):
        loaded = _load_yaml(path, text)
    else:
        try:
            loaded = json.loads(text)
        except json.JSONDecodeError as exc:
            raise SchemaFileError(
                f"{path}: not valid JSON: {exc.msg} at line {exc.lineno}, column {exc.colno} "
                f"(a YAML file needs a name ending in {' or '.join(YAML_SUFFIXES)})"
            ) from None
    if not isinstance(loaded, Mapping):
        found = "nothing" if loaded is None else type(loaded).__name__
        raise SchemaFileError(
            f"{path}: a schema maps databases or tables to their columns, but the file holds {found}"
        )
    return loaded


def _load_yaml(path: str, text: str) -> object:
    try:
        import yaml
    except ImportError:
        raise SchemaFileError(
            f"{path}: reading YAML needs the pyyaml package (pip install pyyaml), "
            "or give the schema as JSON"
        ) from None
    try:
        return yaml.safe_load(text)
    except yaml.YAMLError as exc:
        place = getattr(exc, "problem_mark", None)
        where = f" at line {place.line + 1}, column {place.column + 1}" if place is not None else ""
        problem = getattr(exc, "problem", None) or str(exc).splitlines()[0]
        raise SchemaFileError(f"{path}: not valid YAML: {problem}{where}") from None



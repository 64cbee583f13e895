"""The record type VexloVar and its tree query find."""

from collections.abc import Iterable, Mapping
from typing import Any, Literal, final, overload

@final
class PathMatch:
    """One match of VexloVar.find: the node found and its path from the root."""

    @property
    def value(self) -> Any: ...
    @property
    def full_path(self) -> str: ...

class VexloVar(dict[str, Any]):
    """A dict whose fields are also attributes; unset fields read as None.

    The records that VexloParseMain._parse_sql returns carry the four lineage
    fields typed below; any other field reads as Any.
    """

    database: str | None
    table: str
    src: str
    tgt: str
    def __init__(
        self, mapping: Mapping[str, Any] | Iterable[tuple[str, Any]] = (), /, **fields: Any
    ) -> None: ...
    def __getattr__(self, name: str) -> Any: ...
    def __setattr__(self, name: str, value: Any, /) -> None: ...
    def add(self, **fields: Any) -> None: ...
    @overload
    def find(self, path: str, first: Literal[0, False] = 0) -> list[PathMatch]: ...
    @overload
    def find(self, path: str, first: Literal[1, True]) -> Any: ...

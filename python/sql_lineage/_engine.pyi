from collections.abc import Callable, Mapping, Sequence

from .results import IndirectSource, OutputColumn, SourceColumn, StatementLineage

_Classes = tuple[type[SourceColumn], type[OutputColumn], type[IndirectSource], type[StatementLineage]]
_Result = tuple[tuple[OutputColumn, ...], tuple[IndirectSource, ...], tuple[str, ...]]

HAS_NATIVE_PARSER: int

def analyse_moz(
    statements: Sequence[tuple[object, str, str | None, Sequence[str]]],
    schema: Mapping[str, Sequence[str]] | None,
    namer: Callable[[object], str] | None,
    classes: _Classes,
    /,
) -> list[_Result | BaseException]: ...

def analyse_native(
    text: str,
    dialect: str,
    schema: Mapping[str, Sequence[str]] | None,
    classes: _Classes,
    /,
) -> list[StatementLineage]: ...

def log_shape(text: str, backslash: bool, /) -> str | None: ...

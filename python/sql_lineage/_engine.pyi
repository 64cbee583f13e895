from collections.abc import Callable, Mapping, Sequence

from .results import IndirectSource, OutputColumn, SourceColumn

_Classes = tuple[type[SourceColumn], type[OutputColumn], type[IndirectSource]]
_Result = tuple[tuple[OutputColumn, ...], tuple[IndirectSource, ...], tuple[str, ...]]

HAS_NATIVE_PARSER: int

def analyse_moz(
    statements: Sequence[tuple[object, str, str | None, Sequence[str]]],
    schema: Mapping[str, Sequence[str]] | None,
    namer: Callable[[object], str] | None,
    classes: _Classes,
    /,
) -> list[_Result | BaseException]: ...

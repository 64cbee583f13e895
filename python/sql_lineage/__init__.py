"""Column lineage for SQL: the `sql-lineage` command and the `lineage` function."""

from __future__ import annotations

from pkgutil import extend_path
from typing import TYPE_CHECKING

# A development build puts the compiled engine in <build>/sql_lineage/; with that
# build folder on the path, this package finds it there.
__path__ = extend_path(__path__, __name__)

__version__ = "0.1.0"

if TYPE_CHECKING:
    from .engine import lineage as lineage


def __getattr__(name: str) -> object:
    # The engine loads on first use, so `import sql_lineage` stays cheap.
    if name == "lineage":
        from .engine import lineage

        return lineage
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

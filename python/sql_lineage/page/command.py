"""What the `sql-lineage` command calls: `-f html -o FILE` and `sql-lineage serve`."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Iterable, Sequence
from dataclasses import replace
from typing import cast

from ..report import StatementResult
from ..results import OutputColumn, SourceColumn, StatementKind, StatementLineage, Status
from .graph import PageStatement
from .layout import LayoutError
from .render import write_page


def page_statements(results: Iterable[StatementResult]) -> list[PageStatement]:
    """The command's results as the page draws them. A result without the full engine's
    record (the spec engine's rows) becomes one with identity lineage and no SQL text."""
    statements: list[PageStatement] = []
    for result in results:
        record = result.lineage
        if record is None:
            outputs: dict[str, list[SourceColumn]] = {}
            for database, table, source, output in result.rows:
                outputs.setdefault(output, []).append(SourceColumn(database, table, source, "IDENTITY"))
            record = StatementLineage(
                index=result.number, line=result.line, kind=cast(StatementKind, result.kind),
                target=result.target, status=cast(Status, result.status), message=result.message,
                columns=tuple(OutputColumn(name, tuple(s)) for name, s in outputs.items()),
            )
        elif record.index != result.number:
            record = replace(record, index=result.number)
        statements.append((result.source, record))
    return statements


def write_html(results: Sequence[StatementResult], path: str, inputs: Sequence[str], prog: str) -> bool:
    """Writes the page of a command run to `path`; False, with a message, when it cannot."""
    title = f"SQL lineage: {', '.join(inputs) if inputs else 'standard input'}"
    try:
        write_page(page_statements(results), path, title)
    except LayoutError as exc:
        print(f"{prog}: cannot make the page: {exc}", file=sys.stderr)
        return False
    except OSError as exc:
        print(f"{prog}: cannot write {path}: {exc.strerror or exc}", file=sys.stderr)
        return False
    return True


def serve_main(argv: Sequence[str], prog: str) -> int:
    from .server import serve

    parser = argparse.ArgumentParser(
        prog=f"{prog} serve",
        description="Serve a local page to paste SQL into and see its lineage. "
        "The SQL is analysed, never run.",
    )
    parser.add_argument("--port", type=int, default=8000, help="port to listen on (default: 8000; 0 picks a free one)")
    parser.add_argument("--host", default="127.0.0.1", help="address to bind (default: 127.0.0.1, this machine only)")
    args = parser.parse_args(argv)
    try:
        serve(args.host, args.port)
    except OSError as exc:
        print(f"{prog}: cannot serve on {args.host}:{args.port}: {exc.strerror or exc}", file=sys.stderr)
        return 1
    return 0

"""The analysis of one logged query text: the full engine when it is built, else
the classic parse driver, both giving `StatementLineage` records."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from ..results import OutputColumn, SourceColumn, StatementKind, StatementLineage, Status

Analyse = Callable[[str], list[StatementLineage]]


def make_analyser(
    engine: str = "full", dialect: str = "ansi", schema: Any = None, parser: str | None = None
) -> Analyse:
    """The full engine unless `engine` is "spec" or the full engine is not built."""
    full = _full_engine() if engine == "full" else None
    if full is not None:
        options = {"parser": parser} if parser else {}

        def with_full(sql: str) -> list[StatementLineage]:
            try:
                return list(full(sql, schema=schema, dialect=dialect, **options))
            except Exception as exc:  # one bad text never ends the run
                return [_failed(sql, f"{type(exc).__name__}: {exc}")]
        return with_full
    return _classic


def _full_engine() -> Callable[..., list[StatementLineage]] | None:
    try:
        from ..engine import lineage
    except ImportError:  # the compiled engine is not built
        return None
    return lineage


def _failed(sql: str, message: str) -> StatementLineage:
    return StatementLineage(1, 1, "skipped", None, "failed", message[:400], sql=sql)


def _classic(sql: str) -> list[StatementLineage]:
    from ..analysis import analyse
    from ..splitter import split_statements
    from ..statements import plan_statement

    results = []
    for statement in split_statements(sql):
        plan = plan_statement(statement)
        kind: StatementKind = plan.kind  # type: ignore[assignment]
        status: Status
        columns: tuple[OutputColumn, ...] = ()
        if plan.query is None:
            status, message = "skipped", plan.reason
        else:
            analysis = analyse(plan.query)
            if analysis.error is not None:
                status, message = "failed", analysis.error
            else:
                status, message = "ok", None
                by_output: dict[str, list[SourceColumn]] = {}
                for database, table, src, tgt in analysis.rows:
                    by_output.setdefault(tgt, []).append(
                        SourceColumn(database, table, src, "IDENTITY")
                    )
                columns = tuple(OutputColumn(n, tuple(s)) for n, s in by_output.items())
        results.append(StatementLineage(
            statement.number, statement.line, kind, plan.target, status, message, columns,
            sql=statement.text,
        ))
    return results

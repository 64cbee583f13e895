"""Runs the extension's parse driver over query texts and turns its records into rows.

Each call goes through `VexloParseMain()._parse_sql` unchanged. Work can be
spread over worker processes; results come back in the order of the texts either way.
"""

from __future__ import annotations

import contextlib
import io
import re
import warnings
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

from .workers import map_in_processes

if TYPE_CHECKING:
    from querimo_main import VexloParseMain

# database (None when the table is not qualified), table, source column, output column
Row = tuple[str | None, str, str, str]

MESSAGE_LIMIT = 400
_PARSE_STOP = re.compile(r'found ("(?:[^"\\]|\\.)*") \(at char \d+')


@dataclass(frozen=True, slots=True)
class Analysis:
    rows: tuple[Row, ...] = ()
    error: str | None = None


_front_end: VexloParseMain | None = None


def front_end() -> VexloParseMain:
    """The process's parse driver object (it keeps no state between calls)."""
    global _front_end
    if _front_end is None:
        from querimo_main import VexloParseMain

        _front_end = VexloParseMain()
        _silence_parser_log()
    return _front_end


def _silence_parser_log() -> None:
    """The parser's logging library writes warnings, with whole stack traces, to
    the standard output it saw at import, where they would mix with the tool's
    output. The failures that matter reach the tool as exceptions anyway."""
    try:
        from mo_logs import Log  # type: ignore[import-untyped]
        from mo_logs.log_usingNothing import StructuredLogger  # type: ignore[import-untyped]
    except ImportError:
        return
    Log.main_log = StructuredLogger()


def clean(text: str) -> str:
    """The text as the parse driver sees it: comments, hints and blank lines removed."""
    return front_end()._re_hint(text)


def analyse(text: str) -> Analysis:
    """The lineage rows of one query, sorted, or the reason there are none."""
    # Two failure paths of the analyser print the values they could not resolve
    # to standard output before raising; keep them out of the tool's output and
    # use them in the message instead.
    printed = io.StringIO()
    try:
        with contextlib.redirect_stdout(printed), warnings.catch_warnings():
            # The parser unquotes names with Python's literal_eval, which warns
            # about backslashes in them.
            warnings.simplefilter("ignore", SyntaxWarning)
            records = front_end()._parse_sql(text)
        rows = {
            (
                None if record.database is None else str(record.database),
                str(record.table),
                str(record.src),
                str(record.tgt),
            )
            for record in records
        }
    except Exception as exc:  # every failure of one statement is reported, not fatal
        return Analysis(error=describe_failure(exc, printed.getvalue()))
    # The analyser's entries come in no particular order (it makes them distinct
    # through a set); sorting makes the output the same from run to run.
    return Analysis(tuple(sorted(rows, key=row_order)))


def row_order(row: Row) -> tuple[str, str, str, str]:
    database, table, src, tgt = row
    return (tgt, database or "", table, src)


def describe_failure(exc: BaseException, printed: str) -> str:
    name = type(exc).__name__
    text = " ".join(str(exc).split())
    if name == "ParseException":
        # The parser lists every alternative it tried; where it stopped is what helps.
        near = _PARSE_STOP.search(text)
        message = f"syntax error near {near[1]}" if near else f"syntax error: {text}"
    elif isinstance(exc, RecursionError):
        message = "the query is nested too deeply to analyse"
    elif isinstance(exc, RuntimeError):
        # The analyser's "cannot resolve" failures. When it re-raises with nothing
        # to re-raise, what it printed is all there is to say.
        found = " ".join(printed.split())
        if text and text != "No active exception to reraise":
            message = f"cannot resolve a column: {text}"
        elif found:
            message = f"cannot resolve a column (the analyser stopped at: {found})"
        else:
            message = "cannot resolve a column"
    else:
        message = f"{name}: {text}" if text else name
    if len(message) > MESSAGE_LIMIT:
        message = message[:MESSAGE_LIMIT - 3] + "..."
    return message


def analyse_all(
    texts: Sequence[str], jobs: int, on_done: Callable[[], None] = lambda: None
) -> list[Analysis]:
    """`analyse` over every text, in order, with up to `jobs` worker processes.

    `on_done` is called once per text as results arrive.
    """
    lost = Analysis(error="the analysis process ended abruptly")
    return map_in_processes(analyse, texts, jobs, lost, on_done)

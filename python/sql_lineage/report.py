"""What the tool found for one statement, and how a statement is named in messages."""

from __future__ import annotations

from dataclasses import dataclass

from .analysis import Row


@dataclass(frozen=True, slots=True)
class StatementResult:
    source: str               # file path as given, or "<stdin>"
    number: int               # position of the statement in its source, from 1
    line: int                 # line where the statement starts
    kind: str                 # "select", "insert", "create table", "create view" or "skipped"
    target: str | None        # the table an INSERT or CREATE writes
    status: str               # "ok", "skipped" or "failed"
    rows: tuple[Row, ...] = ()
    message: str | None = None  # why it was skipped or failed

    @property
    def label(self) -> str:
        return f"{self.source}:{self.number}"

    @property
    def where(self) -> str:
        """The statement's place, for messages: file, line and statement number."""
        return f"{self.source}:{self.line}: statement {self.number}"


def split_table_name(name: str) -> tuple[str | None, str]:
    """Database and table of a written name, split the way lineage records are:
    the first piece is the database and the second the table ("a.b.c" gives
    ("a", "b")); a name without "." has no database."""
    if "." not in name:
        return None, name
    pieces = name.split(".")
    return pieces[0], pieces[1]

"""A one-line progress display for standard error, shown only on a terminal."""

from __future__ import annotations

import time
from collections.abc import Callable
from typing import TextIO


class Progress:
    """Counts finished items and redraws one status line now and then.

    Nothing is written when `stream` is not a terminal or `enabled` is false,
    and nothing either for work that ends within `delay` seconds, so short runs
    never flicker.
    """

    def __init__(
        self,
        total: int,
        stream: TextIO,
        *,
        enabled: bool = True,
        label: str = "statements",
        clock: Callable[[], float] = time.monotonic,
        delay: float = 0.5,
        interval: float = 0.1,
    ) -> None:
        self.total = total
        self.done = 0
        self._stream = stream
        self._active = enabled and total > 0 and _is_terminal(stream)
        self._label = label
        self._clock = clock
        self._interval = interval
        self._next_draw = clock() + delay
        self._drawn = False

    def update(self, count: int = 1) -> None:
        self.done += count
        if not self._active:
            return
        now = self._clock()
        if now >= self._next_draw or (self._drawn and self.done >= self.total):
            self._next_draw = now + self._interval
            percent = 100 * self.done // self.total
            self._stream.write(f"\r{self._label}: {self.done}/{self.total} ({percent}%)\x1b[K")
            self._stream.flush()
            self._drawn = True

    def close(self) -> None:
        """Wipes the status line so that later messages start on a clean line."""
        if self._drawn:
            self._stream.write("\r\x1b[K")
            self._stream.flush()
            self._drawn = False


def _is_terminal(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False

"""Stopping the Dask processes a test or a benchmark started."""

from __future__ import annotations

import subprocess
from collections.abc import Sequence


def stop_all(processes: Sequence[subprocess.Popen[bytes]]) -> None:
    """Asks every process to end, then waits for each, killing one that will not."""
    for process in processes:
        process.terminate()
    for process in processes:
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:  # a worker still looking for its scheduler
            process.kill()
            process.wait()

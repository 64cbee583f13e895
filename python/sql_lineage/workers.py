"""Maps a function over work items in worker processes, results in input order.

The parsers hold the interpreter lock, so threads would not help. A worker
that dies fails the items it had instead of the run.
"""

from __future__ import annotations

import gc
import multiprocessing
from collections.abc import Callable, Sequence
from concurrent.futures import ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from typing import TypeVar

Item = TypeVar("Item")
Result = TypeVar("Result")


def map_in_processes(
    function: Callable[[Item], Result],
    items: Sequence[Item],
    jobs: int,
    lost: Result,
    on_done: Callable[[], None] = lambda: None,
) -> list[Result]:
    """`function` over `items` with up to `jobs` worker processes; `lost` stands
    for every result a dead worker took with it. `on_done` is called once per
    item as results arrive."""
    results: list[Result] = []
    if jobs <= 1 or len(items) < 2:
        for item in items:
            results.append(function(item))
            on_done()
        return results

    workers = min(jobs, len(items))
    # Batches keep the cost of passing work between processes small, while
    # leaving several batches per worker so that none idles at the end.
    chunksize = max(1, min(32, len(items) // (workers * 4)))
    # Workers forked from this process start with the parser already imported.
    methods = multiprocessing.get_all_start_methods()
    context = multiprocessing.get_context("fork" if "fork" in methods else None)
    # Objects the workers inherit stay out of the collector's sight, so that a
    # collection in a worker does not copy the parent's pages one by one.
    gc.freeze()
    try:
        with ProcessPoolExecutor(max_workers=workers, mp_context=context) as pool:
            try:
                for result in pool.map(function, items, chunksize=chunksize):
                    results.append(result)
                    on_done()
            except BrokenProcessPool:
                for _ in items[len(results):]:
                    results.append(lost)
                    on_done()
    finally:
        gc.unfreeze()
    return results

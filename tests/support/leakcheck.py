"""Leak checks for the native modules, usable on a release build.

`assert_no_leak(fn)` calls `fn(i)` many times and watches the interpreter's count
of allocated memory blocks: after a warm-up (caches fill, interned names are
made), phases of `calls` calls each are bracketed by `gc.collect()` and
`sys.getallocatedblocks()`, and a phase after the first must stay flat. One object kept
per call grows the count by at least `calls`; a clean operation stays within a
few blocks. On a debug build the total reference count is checked the same way.

`assert_no_traced_growth(fn)` does the same with tracemalloc's byte totals over
10,000 calls, which also sees memory that is not a Python object block.

`fn` receives the call's index so that it can build fresh arguments each time:
an extra reference kept to an argument then shows as growth too.
"""

import gc
import sys
import tracemalloc

import pytest


def _blocks_during(fn, start, calls):
    gc.collect()
    total_before = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0
    blocks_before = sys.getallocatedblocks()
    for i in range(start, start + calls):
        fn(i)
    gc.collect()
    total_after = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0
    return sys.getallocatedblocks() - blocks_before, total_after - total_before


def assert_no_leak(fn, *, calls=1000, warmup=200, limit=None, phases=3):
    """Fails when every one of up to `phases` measured phases of `calls` calls
    (after the warm-up and a first, unmeasured phase) keeps `limit` memory blocks
    (or, on a debug build, references) or more; by default a tenth of the calls,
    and at least 20 so that a short phase is not failed by noise. A leak grows
    every phase; a cache of the interpreter's that happens to grow during one
    phase does not fail the check."""
    if sys.getallocatedblocks() == 0:
        # Without pymalloc (PYTHONMALLOC=malloc, as under the sanitizers) the
        # interpreter counts no blocks; the tracemalloc checks still run there.
        pytest.skip("the interpreter counts no memory blocks without pymalloc")
    if limit is None:
        limit = max(calls // 10, 20)
    for i in range(warmup):
        fn(i)
    start = warmup
    _blocks_during(fn, start, calls)
    kept = []
    for _ in range(phases):
        start += calls
        blocks, references = _blocks_during(fn, start, calls)
        if hasattr(sys, "gettotalrefcount") and references >= limit:
            kept.append(f"{references} references")
        elif blocks >= limit:
            kept.append(f"{blocks} memory blocks")
        else:
            return
    raise AssertionError(f"kept over each phase of {calls} calls: {', '.join(kept)}")


def assert_no_traced_growth(fn, *, calls=10_000, warmup=200, per_call_bytes=4):
    """Fails when tracemalloc's total after `calls` calls exceeds the total before
    by more than `per_call_bytes` a call (a leaked small object is 16 or more)."""
    started_here = not tracemalloc.is_tracing()
    if started_here:
        tracemalloc.start()
    try:
        for i in range(warmup):
            fn(i)
        gc.collect()
        before, _ = tracemalloc.get_traced_memory()
        for i in range(warmup, warmup + calls):
            fn(i)
        gc.collect()
        after, _ = tracemalloc.get_traced_memory()
    finally:
        if started_here:
            tracemalloc.stop()
    growth = after - before
    assert growth < calls * per_call_bytes, f"{growth} bytes kept over {calls} calls"


def raising(error, fn):
    """`fn` wrapped so that it must raise `error`; for error-path leak checks."""
    def call(i):
        try:
            fn(i)
        except error:
            return
        raise AssertionError(f"expected {error.__name__}")
    return call

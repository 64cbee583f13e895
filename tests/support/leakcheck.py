"""Leak checks for the native modules, usable on a release build.

`assert_no_leak(fn)` calls `fn(i)` many times and watches the interpreter's count
of allocated memory blocks: after a warm-up (caches fill, interned names are
made), two phases of `calls` calls each are bracketed by `gc.collect()` and
`sys.getallocatedblocks()`, and the second phase must stay flat. One object kept
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


def assert_no_leak(fn, *, calls=1000, warmup=200, limit=None):
    """Fails when the second of two phases of `calls` calls keeps `limit` memory
    blocks (or, on a debug build, references) or more; by default a tenth of the
    calls, and at least 20 so that a short phase is not failed by noise."""
    if sys.getallocatedblocks() == 0:
        # Without pymalloc (PYTHONMALLOC=malloc, as under the sanitizers) the
        # interpreter counts no blocks; the tracemalloc checks still run there.
        pytest.skip("the interpreter counts no memory blocks without pymalloc")
    for i in range(warmup):
        fn(i)
    _blocks_during(fn, warmup, calls)
    blocks, references = _blocks_during(fn, warmup + calls, calls)
    if limit is None:
        limit = max(calls // 10, 20)
    assert blocks < limit, f"{blocks} memory blocks kept over {calls} calls"
    if hasattr(sys, "gettotalrefcount"):
        assert references < limit, f"{references} references kept over {calls} calls"


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

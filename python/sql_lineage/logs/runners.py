"""Running the partitions of a log: in this process, in a local pool of worker
processes, or on Dask (a local cluster of processes, or an existing one).

Only counts come back from the workers; the parts stay where they were written.
"""

from __future__ import annotations

import contextlib
import logging
import multiprocessing
import sys
import time
from collections.abc import Callable, Sequence
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass, field
from typing import Any, TextIO

from ..progress import Progress
from .readers import Partition
from .work import Counts, LogJob, process_partition

Finish = Callable[[], int]  # runs where the parts are; returns the distinct shapes
# What a worker's memory would otherwise grow with over a long run: the
# shuffle's buffers before it writes to disk, and the statistical profiler's
# history of samples.
WORKER_CONFIG = {
    "distributed.p2p.comm.buffer": "32 MiB",
    "distributed.p2p.storage.buffer": "32 MiB",
    "distributed.worker.profile.enabled": False,
}


@dataclass
class Outcome:
    counts: Counts
    shapes: int
    lost_workers: list[str] = field(default_factory=list)


def run_local(
    partitions: Sequence[Partition], job: LogJob, jobs: int, finish: Finish,
    progress_stream: TextIO | None,
) -> Outcome:
    total = Counts()
    progress = Progress(len(partitions), progress_stream or sys.stderr,
                        enabled=progress_stream is not None, label="log partitions")
    try:
        if jobs <= 1 or len(partitions) < 2:
            for part in partitions:
                total.add(process_partition(part, job))
                progress.update()
        else:
            # Fresh processes rather than forks: pyarrow's threads do not survive a fork.
            context = multiprocessing.get_context("forkserver")
            workers = min(jobs, len(partitions))
            with ProcessPoolExecutor(max_workers=workers, mp_context=context) as pool:
                for counts in pool.map(process_partition, partitions, [job] * len(partitions)):
                    total.add(counts)
                    progress.update()
    finally:
        progress.close()
    return Outcome(total, finish())


def run_dask(
    partitions: Sequence[Partition], job: LogJob, finish: Finish, *,
    scheduler: str | None, workers: int, progress_stream: TextIO | None,
    shuffle: bool = False,
) -> Outcome:
    """Each partition read, analysed and written on one worker (a dask.bag over
    the partitions), with one cache per worker; or, with `shuffle`, the rows first
    gathered by shape across the workers (see frames.py), so that each shape is
    analysed once in the cluster: worth its cost when one analysis costs much
    more than moving a row."""
    import dask.bag
    import dask.config
    from distributed import Client, LocalCluster

    from .frames import counts_of, pipeline

    with contextlib.ExitStack() as stack:
        # Workers of an existing cluster keep their own settings.
        stack.enter_context(dask.config.set(WORKER_CONFIG))
        if scheduler:
            client = stack.enter_context(Client(scheduler, set_as_default=False))  # type: ignore[no-untyped-call]
        else:
            cluster = stack.enter_context(LocalCluster(  # type: ignore[no-untyped-call]
                n_workers=workers, threads_per_worker=1, processes=True,
                dashboard_address=None, silence_logs=logging.ERROR,
            ))
            client = stack.enter_context(Client(cluster, set_as_default=False))  # type: ignore[no-untyped-call]
        began = time.time()
        if shuffle:
            futures = [client.compute(pipeline(partitions, job))]
        else:
            bag = dask.bag.from_sequence(partitions, npartitions=len(partitions))  # type: ignore[no-untyped-call]
            futures = client.compute(bag.map(process_partition, job).to_delayed())
        if progress_stream is not None and progress_stream.isatty():
            from distributed import progress

            # Dask draws its bar on standard output; the data may be going there.
            with contextlib.redirect_stdout(progress_stream):
                progress(futures, scheduler=client.scheduler.address)  # type: ignore[no-untyped-call]
        total = Counts()
        for result in client.gather(futures):
            if shuffle:
                total.add(counts_of(result))
            else:
                for counts in result:
                    total.add(counts)
        shapes = client.submit(finish, pure=False).result()
        return Outcome(total, shapes, _lost_workers(client, began))


def _lost_workers(client: Any, since: float) -> list[str]:
    """Workers the scheduler removed during the run: their partitions ran again
    elsewhere (Dask retries the tasks of a worker that dies)."""
    lost = []
    try:
        events = client.get_events("all")
    except Exception:
        return []
    for when, event in events:
        if when < since:
            continue  # an earlier run's, on a long-lived scheduler
        if isinstance(event, dict) and event.get("action") == "remove-worker":
            lost.append(str(event.get("worker", "?")))
    return lost

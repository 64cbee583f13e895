"""Query logs at scale: `sql-lineage --log` on generated query histories.

    python bench/query_logs.py [--rows 1000000] [--small-rows 100000] [--cache-rows 20000]

Measures, each by running the command as users do (a fresh process, Parquet out):

- throughput of `--dask` with 2 workers against 1 worker (goal: at least 1.8x);
- that both, and the run on an existing cluster (`--scheduler`, against a
  dask-scheduler and two dask-worker processes started here on 127.0.0.1), give
  the same rows as the local run, in any order;
- the peak resident memory of each Dask worker at --small-rows and at --rows
  (goal: flat), and the level each settles at (its median resident set over
  the second half of the run), which transient spikes do not move;
- the repeats cache: the same size of log with about 5 % distinct statement
  shapes against every statement distinct (goal: at least 10x), local, one process.

Logs come from bench/make_query_log.py and stay in bench/results/logs/ for the
next run. Figures go to bench/results/query_logs.json and are printed.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
RESULTS = BENCH / "results"
LOGS = RESULTS / "logs"
KEEP = "query_id,user_name,start_time,duration_ms"
TABLES = ("statements", "lineage", "indirect_lineage", "problems")

sys.path.insert(0, str(BENCH))
sys.path.insert(0, str(BENCH.parent / "tests"))
import make_query_log  # noqa: E402
from support.processes import stop_all  # noqa: E402


def log_file(rows: int, distinct: float) -> Path:
    path = LOGS / f"log-{rows}-{distinct:g}.csv"
    if not path.exists():
        LOGS.mkdir(parents=True, exist_ok=True)
        print(f"... writing {path.name}", flush=True)
        make_query_log.write(str(path) + ".tmp.csv", rows, distinct, 0.001, seed=rows)
        os.replace(str(path) + ".tmp.csv", path)
    return path


def engine_args() -> list[str]:
    try:
        import sql_lineage.engine  # noqa: F401
    except ImportError:
        return ["--engine", "spec"]
    return []


class PeakMemory:
    """Polls the peak resident set (VmHWM) of worker processes while a run goes on:
    the given pids, or else the children of `root` started by multiprocessing.
    It also keeps each worker's resident set (VmRSS) at every poll: its median
    over the second half of the run is the level the worker settles at, which a
    peak (one partition's transient spike) does not show."""

    def __init__(self, root: int, pids: list[int] | None = None) -> None:
        self.root, self.pids = root, pids
        self.peaks: dict[int, int] = {}
        self.levels: dict[int, list[int]] = {}
        self._found: list[int] = []
        self._rounds = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._poll, daemon=True)
        self._thread.start()

    def _workers(self) -> list[int]:
        if self.pids is not None:
            return self.pids
        # Looking for new workers walks every process: not on every round, so that
        # the poller takes next to no time from the run it watches.
        self._rounds += 1
        if self._rounds > 10 and self._rounds % 5 != 1:  # every round at first: short runs
            return self._found
        import psutil

        found = []
        try:
            for child in psutil.Process(self.root).children(recursive=True):
                try:
                    if "spawn_main" in " ".join(child.cmdline()):
                        found.append(child.pid)
                except psutil.Error:
                    pass
        except psutil.Error:
            pass
        self._found = found
        return found

    def _poll(self) -> None:
        while not self._stop.wait(0.25):
            for pid in self._workers():
                try:
                    with open(f"/proc/{pid}/status") as status:
                        for line in status:
                            if line.startswith("VmHWM:"):
                                kib = int(line.split()[1])
                                self.peaks[pid] = max(self.peaks.get(pid, 0), kib * 1024)
                            elif line.startswith("VmRSS:"):
                                self.levels.setdefault(pid, []).append(int(line.split()[1]) * 1024)
                except OSError:
                    pass

    def stop(self) -> list[int]:
        self._stop.set()
        self._thread.join()
        return sorted(self.peaks.values())

    def settled(self) -> list[int]:
        """Each worker's median resident set over the second half of its polls."""
        return sorted(int(statistics.median(v[len(v) // 2:])) for v in self.levels.values() if v)


def run_command(log: Path, out: Path, *extra: str, workers: list[int] | None = None) -> dict:
    shutil.rmtree(out, ignore_errors=True)
    argv = [sys.executable, "-m", "sql_lineage", *engine_args(), "--no-progress", "--log",
            str(log), "--keep", KEEP, "-f", "parquet", "-o", str(out), *extra]
    began = time.perf_counter()
    process = subprocess.Popen(argv, stderr=subprocess.PIPE, text=True)
    memory = PeakMemory(process.pid, workers)
    _, err = process.communicate()
    seconds = time.perf_counter() - began
    peaks = memory.stop()
    settled = memory.settled()
    summary = [line for line in err.splitlines() if line.startswith("sql-lineage: ")]
    if process.returncode not in (0, 1) or not summary:
        raise SystemExit(f"run failed ({process.returncode}): {' '.join(argv)}\n{err[-3000:]}")
    print(f"    {seconds:.1f} s, worker peak RSS MiB: {mib(peaks)}, settled at: {mib(settled)}\n"
          f"    {summary[-1]}", flush=True)
    return {"seconds": seconds, "worker_peak_rss": peaks, "worker_settled_rss": settled, "summary": summary[-1]}


def same_rows(a: Path, b: Path) -> bool:
    import duckdb

    con = duckdb.connect()
    con.execute("SET enable_progress_bar = false")
    for table in TABLES:
        for x, y in ((a, b), (b, a)):
            # `file` is the path as given on the command line
            query = (f"select count(*) from (select * exclude (file) from "
                     f"read_parquet('{x}/{table}/*.parquet') except all select * exclude (file) "
                     f"from read_parquet('{y}/{table}/*.parquet'))")
            if con.execute(query).fetchone()[0]:
                return False
    return True


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def cluster_run(log: Path, out: Path) -> dict:
    """A dask-scheduler and two dask-worker processes on 127.0.0.1, then the run."""
    from distributed import Client

    port = _free_port()
    address = f"tcp://127.0.0.1:{port}"
    started = [subprocess.Popen(
        [sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
         "--port", str(port), "--dashboard-address", ":0"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
    try:
        for _ in range(2):
            started.append(subprocess.Popen(
                [sys.executable, "-m", "distributed.cli.dask_worker", address, "--nthreads", "1",
                 "--no-nanny", "--host", "127.0.0.1", "--no-dashboard"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        time.sleep(2)
        with Client(address, timeout=60) as client:
            client.wait_for_workers(2, timeout=120)
        return run_command(log, out, "--scheduler", address,
                           workers=[p.pid for p in started[1:]])
    finally:
        stop_all(started)


def local_run(log: Path, out: Path, figures: dict[str, object], rows: int) -> None:
    """The reference: the default local pool (once per bench run)."""
    if "local" not in figures:
        print(f"... local run, {rows} rows", flush=True)
        figures["local"] = run_command(log, out)


def mib(values: list[int]) -> str:
    return ", ".join(f"{v / 2**20:.0f}" for v in values) or "-"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--small-rows", type=int, default=100_000)
    parser.add_argument("--cache-rows", type=int, default=20_000)
    parser.add_argument("--only", default="dask,memory,scheduler,cache",
                        help="comma-separated parts: dask, memory, scheduler, cache")
    args = parser.parse_args(argv)
    parts = set(args.only.split(","))
    work = RESULTS / "query-log-runs"
    figures: dict[str, object] = {"rows": args.rows, "small_rows": args.small_rows,
                                  "cache_rows": args.cache_rows, "cores": os.cpu_count(),
                                  "engine": "spec" if engine_args() else "full"}
    goals: list[tuple[str, str, bool]] = []

    big = log_file(args.rows, 0.05)
    tiny = log_file(1, 0.05)
    if "dask" in parts:
        print("... --dask, 1 worker", flush=True)
        figures["dask_1"] = one = run_command(big, work / "dask1", "--dask", "-j", "1")
        print("... --dask, 2 workers", flush=True)
        figures["dask_2"] = two = run_command(big, work / "dask2", "--dask", "-j", "2")
        # The fixed cost of a run (interpreter, cluster start, imports on the
        # workers), from a one-row log, is left out of the throughput.
        one_start = run_command(tiny, work / "tiny", "--dask", "-j", "1")["seconds"]
        two_start = run_command(tiny, work / "tiny", "--dask", "-j", "2")["seconds"]
        figures["start_up"] = {"dask_1": one_start, "dask_2": two_start}
        rate_one = args.rows / max(1e-9, one["seconds"] - one_start)
        rate_two = args.rows / max(1e-9, two["seconds"] - two_start)
        gain = rate_two / rate_one
        figures["dask_gain"] = gain
        goals.append(("--dask 2 workers >= 1.8x 1 worker", f"{gain:.2f}x ({rate_one:.0f} vs "
                      f"{rate_two:.0f} rows/s after start-up; with it "
                      f"{one['seconds'] / two['seconds']:.2f}x)", gain >= 1.8))
        local_run(big, work / "local", figures, args.rows)
        same = same_rows(work / "local", work / "dask1") and same_rows(work / "local",
                                                                      work / "dask2")
        goals.append(("--dask results = local run", "same rows" if same else "DIFFER", same))
    if "memory" in parts:
        small = log_file(args.small_rows, 0.05)
        print(f"... --dask, 2 workers, {args.small_rows} rows", flush=True)
        figures["dask_2_small"] = small_run = run_command(small, work / "small", "--dask",
                                                          "-j", "2")
        big_run = figures.get("dask_2") or run_command(big, work / "dask2", "--dask", "-j", "2")
        low = max(small_run["worker_peak_rss"] or [0])
        high = max(big_run["worker_peak_rss"] or [0])  # type: ignore[index]
        ratio = high / low if low else float("nan")
        goals.append((f"worker memory flat from {args.small_rows} to {args.rows} rows",
                      f"peak RSS {low / 2**20:.0f} -> {high / 2**20:.0f} MiB ({ratio:.2f}x)",
                      ratio <= 1.3))
        low = max(small_run.get("worker_settled_rss") or [0])
        high = max(big_run.get("worker_settled_rss") or [0])  # type: ignore[attr-defined]
        ratio = high / low if low else float("nan")
        goals.append((f"worker memory settled at the same level, {args.small_rows} and {args.rows} rows",
                      f"median RSS, second half {low / 2**20:.0f} -> {high / 2**20:.0f} MiB ({ratio:.2f}x)",
                      ratio <= 1.05))
    if "scheduler" in parts:
        print("... --scheduler, dask-scheduler + 2 dask-worker on 127.0.0.1", flush=True)
        figures["scheduler"] = run = cluster_run(big, work / "scheduler")
        local_run(big, work / "local", figures, args.rows)
        same = same_rows(work / "local", work / "scheduler")
        goals.append(("--scheduler results = local run",
                      f"same rows, {args.rows / run['seconds']:.0f} rows/s" if same else "DIFFER",
                      same))
    if "cache" in parts:
        # With each parser the engine has: the cache saves the analysis, so its
        # gain follows what one analysis costs next to reading and writing a row.
        for parser, rows in (("native", args.cache_rows), ("moz", max(1, args.cache_rows // 4))):
            repeated = log_file(rows, 0.05)
            distinct = log_file(rows, 1.0)
            print(f"... repeats cache, --parser {parser}, {rows} rows", flush=True)
            choose = ("--parser", parser) if not engine_args() else ()
            with_cache = run_command(repeated, work / "repeated", "-j", "1", *choose)
            without = run_command(distinct, work / "distinct", "-j", "1", *choose)
            start = run_command(tiny, work / "tiny", "-j", "1", *choose)["seconds"]
            figures[f"cache_{parser}"] = {"rows": rows, "repeated": with_cache,
                                          "distinct": without, "start_up": start}
            if with_cache["seconds"] - start < 0.2 * with_cache["seconds"]:
                goals.append((f"repeats cache, --parser {parser}", "log too small to measure "
                              "next to the start-up; raise --cache-rows", False))
                continue
            gain = (without["seconds"] - start) / (with_cache["seconds"] - start)
            goals.append((f"repeats cache >= 10x all-distinct (--parser {parser}, {rows} rows)",
                          f"{gain:.1f}x ({rows / (with_cache['seconds'] - start):.0f} vs "
                          f"{rows / (without['seconds'] - start):.0f} rows/s after start-up; "
                          f"with it {without['seconds'] / with_cache['seconds']:.1f}x)",
                          gain >= 10))

    print()
    for name in ("local", "dask_1", "dask_2", "dask_2_small", "scheduler"):
        run = figures.get(name)
        if isinstance(run, dict):
            print(f"{name:13} {run['seconds']:8.1f} s  worker peak RSS MiB: "
                  f"{mib(run['worker_peak_rss'])}\n              {run['summary']}")
    print()
    for goal, measured, met in goals:
        print(f"{'met ' if met else 'MISS'}  {goal}: {measured}")
    figures["goals"] = [{"goal": g, "measured": m, "met": ok} for g, m, ok in goals]
    RESULTS.mkdir(parents=True, exist_ok=True)
    (RESULTS / "query_logs.json").write_text(json.dumps(figures, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())

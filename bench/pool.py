"""Loads and dumps spread over cores: the corpora twitter, citm_catalog and
canada, loaded and written again by 1, 2 and all cores, in an
InterpreterPoolExecutor (isolated subinterpreters, a GIL each: CPython 3.14+)
with quibex and with json (the one peer that imports there), and in a
ThreadPoolExecutor with quibex, whose threads share one GIL, as the
baseline.

    python bench/pool.py

bench/bench.py runs it on 3.14+ unless --no-pool is given. Each measurement
is one batch of the same tasks after a warm-up batch: the throughput is the
JSON text handled (read and written) per second of wall time.
"""
import os
import sys
import time
from concurrent import futures
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import pool_tasks  # noqa: E402

NAMES = ("twitter", "citm_catalog", "canada")
ROUNDS = 4  # passes over the corpora per batch and per worker


def available():
    return hasattr(futures, "InterpreterPoolExecutor")


def worker_counts():
    cores = os.cpu_count() or 1
    return sorted({1, 2, cores})


def executor(kind, workers):
    if kind == "threads":
        return futures.ThreadPoolExecutor(max_workers=workers)
    # The workers import pool_tasks from this directory.
    return futures.InterpreterPoolExecutor(max_workers=workers, initializer=exec,
                                           initargs=(f"import sys; sys.path.insert(0, {str(HERE)!r})",))


def batch_seconds(pool, library, workers):
    tasks = [(library, name) for name in NAMES for _ in range(ROUNDS * workers)]
    list(pool.map(pool_tasks.round_trip, *zip(*tasks)))  # warm-up: every worker reads and imports
    started = time.perf_counter()
    handled = sum(pool.map(pool_tasks.round_trip, *zip(*tasks)))
    return handled, time.perf_counter() - started


def measure(libs=None):
    """{(kind, library): {workers: MB/s}} for the kinds interpreters and threads."""
    plan = [("interpreters", "quibex"), ("interpreters", "json"), ("threads", "quibex")]
    if libs:
        plan = [p for p in plan if p[1] in libs]
    result = {}
    for kind, library in plan:
        row = result[f"{kind}/{library}"] = {}
        for workers in worker_counts():
            with executor(kind, workers) as pool:
                handled, seconds = batch_seconds(pool, library, workers)
            row[workers] = handled / seconds / 1e6
    return result


def print_report(result, out):
    counts = sorted({w for row in result.values() for w in row})
    write = lambda line: print(line, file=out)  # noqa: E731
    write("")
    write(f"loads+dumps of twitter, citm_catalog, canada over {len(counts)} worker counts "
          f"({os.cpu_count()} cores, load average {os.getloadavg()[0]:.1f}): MB/s of JSON text handled, "
          f"and the speed-up over one worker")
    write(f"{'executor/library':<22}" + "".join(f"{f'{w} worker' + ('s' if w > 1 else ''):>20}" for w in counts))
    for name, row in result.items():
        cells = "".join(f"{f'{row[w]:.0f} MB/s x{row[w] / row[counts[0]]:.2f}':>20}" for w in counts)
        write(f"{name:<22}{cells}")


if __name__ == "__main__":
    if not available():
        sys.exit("InterpreterPoolExecutor needs CPython 3.14+")
    print_report(measure(), sys.stdout)

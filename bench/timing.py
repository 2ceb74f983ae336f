"""Timing and memory measurement.

Each measurement calls one contender `repeat` times in a row, with `repeat`
chosen so that the measurement lasts about the target time, and records the
mean time per call. Rounds are interleaved: a round measures every contender
of every case once, the order of the contenders rotating from round to round,
so that the machine's slow spells (it is shared) fall on all libraries alike.
The reported time is the median over rounds. Heavy cases (the numpy arrays
against the pure-Python-speed encoders) sit out the later rounds. The cyclic garbage collector is
off while timing, as in timeit; JSON documents hold no cycles, so reference
counting still frees every result at once.
"""
import gc
import itertools
import math
import statistics
import sys
import time
import tracemalloc


def _timed(call, repeat):
    loop = itertools.repeat(None, repeat)
    start = time.perf_counter()
    for _ in loop:
        call()
    return (time.perf_counter() - start) / repeat


# A case whose round takes longer than this many seconds is heavy: it runs in
# only the first HEAVY_ROUNDS rounds, which keeps the full run to minutes.
HEAVY_ROUND_S = 1.5
HEAVY_ROUNDS = 3


def calibrate(cases, target, rounds):
    """Sets each runnable contender's repeat count and each case's rounds.

    The repeat count comes from one timed call, or from the validation call
    when that alone outlasted the target (warming up is then immaterial).
    """
    for case in cases:
        cost = 0.0
        for c in runnable(case):
            once = c.first_call if c.first_call >= target else _timed(c.call, 1)
            c.repeat = max(1, min(100_000, math.ceil(target / max(once, 1e-9))))
            cost += c.repeat * once
        case.rounds = min(rounds, HEAVY_ROUNDS) if cost > HEAVY_ROUND_S else rounds


def runnable(case):
    return [c for c in case.contenders if c.status == "ok"]


def run_rounds(cases, rounds, progress=sys.stderr):
    gc.collect()
    gc.freeze()         # the documents themselves never need scanning again
    gc.disable()
    try:
        for r in range(rounds):
            started = time.perf_counter()
            for case in cases:
                active = runnable(case)
                if not active or r >= case.rounds:
                    continue
                shift = r % len(active)
                for c in active[shift:] + active[:shift]:
                    c.samples.append(_timed(c.call, c.repeat))
            print(f"  round {r + 1}/{rounds}: {time.perf_counter() - started:.1f} s",
                  file=progress, flush=True)
    finally:
        gc.enable()
        gc.unfreeze()


def summary(samples):
    """Median, minimum and spread (half the range, relative to the median)."""
    median = statistics.median(samples)
    spread = (max(samples) - min(samples)) / 2 / median if median > 0 else 0.0
    return median, min(samples), spread


def loads_peak(fn, arg):
    """Peak and retained bytes that the Python allocators saw during fn(arg).

    tracemalloc sees the interpreter's allocators only (PyMem_*, PyObject_*),
    not memory a library takes from malloc or new directly.
    """
    gc.collect()
    tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        base = tracemalloc.get_traced_memory()[0]
        result = fn(arg)
        current, peak = tracemalloc.get_traced_memory()
        del result
    finally:
        tracemalloc.stop()
    return peak - base, current - base

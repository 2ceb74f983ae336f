"""Leak-check mode: every input set runs many times while memory and
reference counts are watched.

QUIBEX_LEAKCHECK=N sets the number of measured passes over each input set
(default 200). The figures of every set are printed at the end of the run.
"""
import gc
import os
import sys
import tracemalloc

import pytest

ITERATIONS = int(os.environ.get("QUIBEX_LEAKCHECK", "200"))
WARMUP = 5

# What a pass may leave behind without counting as a leak. Interpreter
# caches (free lists, type caches, the key cache's own strings) settle in the
# warm-up; a leak of one small object per call grows by ITERATIONS of them.
TRACED_TOLERANCE = 16 * 1024
RSS_TOLERANCE = 8 * 1024 * 1024

FIGURES = []


def rss_bytes():
    """Resident set size of this process now, or None where /proc is absent."""
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:
        return None


def pytest_terminal_summary(terminalreporter):
    if not FIGURES:
        return
    write = terminalreporter.write_line
    write("")
    write(f"leak check on Python {sys.version.split()[0]}: growth between the end of the warm-up "
          f"({WARMUP} passes) and after the measured passes")
    write(f"{'input set':28} {'passes':>7} {'calls':>9} {'tracemalloc':>12} {'RSS':>12} {'refcounts':>10}")
    for f in FIGURES:
        rss = "n/a" if f["rss"] is None else f"{f['rss']:+d}"
        write(f"{f['name']:28} {f['passes']:>7} {f['calls']:>9} {f['traced']:>+12d} {rss:>12} {f['watched']:>10}")


def shared(obj):
    """Whether obj is one of the interpreter's shared objects (singletons,
    small ints, one-character strings, the strings compiled into the
    interpreter), whose reference count any code may move a little. Where
    the interpreter makes them immortal it never moves."""
    if obj is None or obj is True or obj is False or sys.getrefcount(obj) >= 999_999_999:
        return True
    if type(obj) is int:
        return -5 <= obj <= 256
    return type(obj) in (str, bytes, tuple) and len(obj) <= 1


def moved(before, after, obj, passes):
    """A leak moves a count by at least one per pass; a shared object's count
    may also drift by a little that does not grow with the passes."""
    return abs(after - before) >= passes // 2 if shared(obj) else after != before


def measure(name, one_pass, watched, passes):
    """Runs one_pass WARMUP times, then `passes` times, and checks that neither
    memory nor the reference count of any watched object moved in between.
    `watched` is a list of (label, object)."""
    if not tracemalloc.is_tracing():
        tracemalloc.start()
    for _ in range(WARMUP):
        one_pass()
    gc.collect()
    counts = [sys.getrefcount(obj) for _, obj in watched]
    traced_before = tracemalloc.get_traced_memory()[0]
    rss_before = rss_bytes()
    calls = 0
    for _ in range(passes):
        calls += one_pass()
    gc.collect()
    traced = tracemalloc.get_traced_memory()[0] - traced_before
    rss = None if rss_before is None else rss_bytes() - rss_before
    changed = [(label, before, sys.getrefcount(obj)) for (label, obj), before in zip(watched, counts)
               if moved(before, sys.getrefcount(obj), obj, passes)]
    FIGURES.append(dict(name=name, passes=passes, calls=calls, traced=traced, rss=rss, watched=len(watched)))
    assert not changed, f"reference counts moved (label, before, after): {changed[:20]}"
    assert traced < TRACED_TOLERANCE, f"{name}: traced memory grew by {traced} bytes over {passes} passes"
    assert rss is None or rss < RSS_TOLERANCE, f"{name}: RSS grew by {rss} bytes over {passes} passes"


@pytest.fixture
def leakcheck():
    """run(name, one_pass, watched, scale=1): measures ITERATIONS // scale
    passes (at least 5); one_pass returns the number of calls it made."""
    def run(name, one_pass, watched, scale=1):
        measure(name, one_pass, watched, max(5, ITERATIONS // scale))
    return run

"""Many threads calling dumps and loads at once on shared inputs.

loads and dumps hold the interpreter lock for a whole call unless Python
code they run (default, a property, a time-zone method) lets it go; the key
cache of loads is shared by every thread. A tiny switch interval makes the
threads trade the lock as often as the interpreter allows.
"""
import datetime
import json
import os
import subprocess
import sys
import sysconfig
import threading
import time

import pytest

import quibex

THREADS = 8


@pytest.fixture(autouse=True)
def frequent_switches():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)


def run_threads(work, count=THREADS):
    """Runs work(index) on `count` threads started together; re-raises the
    first failure of any of them."""
    failures = []
    start = threading.Barrier(count)

    def target(index):
        start.wait()
        try:
            work(index)
        except BaseException as e:  # reported to the test below
            failures.append(e)

    threads = [threading.Thread(target=target, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if failures:
        raise failures[0]


def key_documents():
    """Documents whose keys, together, are many more than the cache's 2048
    slots: threads keep evicting each other's keys."""
    docs = []
    for d in range(THREADS):
        rows = [{f"field-{d}-{i % 700}": i, "shared": [d, "\u00e9" * (i % 5)], "k" * 64: None, "\u20ac" * 30: i}
                for i in range(1400)]
        text = json.dumps(rows, ensure_ascii=False)
        docs.append((text.encode(), json.loads(text)))
    return docs


def test_loads_on_shared_inputs_with_a_shared_key_cache():
    docs = key_documents()

    def work(index):
        for round_ in range(6):
            doc, want = docs[(index + round_) % len(docs)]
            got = quibex.loads(doc if round_ % 2 else doc.decode())
            assert got == want
            # Every key, cached or not, carries the hash the interpreter gives it.
            for row in got[::97]:
                for key in row:
                    assert hash(key) == hash(str(key) + "") and key == str(key)
            try:
                quibex.loads(doc[:-1])
            except quibex.JSONDecodeError as e:
                assert e.msg == "unexpected end of data"

    run_threads(work)


class Slow:
    """An unsupported value whose default lets the lock go before answering."""

    def __init__(self, value):
        self.value = value


def default_yielding(obj):
    time.sleep(0)
    return obj.value


class YieldingZone(datetime.tzinfo):
    def utcoffset(self, dt):
        time.sleep(0)
        return datetime.timedelta(hours=1)


SHARED = {
    "rows": [{"id": i, "when": datetime.datetime(2024, 1, 1, tzinfo=YieldingZone()), "slow": Slow([i, "x"])}
             for i in range(50)],
    "text": "\u00e9\U0001f600\x00" * 100,
    "nums": [1.5, 2**63, -1, None, True],
}


def test_dumps_on_shared_inputs_while_python_code_lets_the_lock_go():
    want = {option: quibex.dumps(SHARED, default_yielding, option=option)
            for option in (0, quibex.OPT_INDENT_2, quibex.OPT_SORT_KEYS)}

    def work(index):
        for round_ in range(20):
            option = list(want)[(index + round_) % len(want)]
            assert quibex.dumps(SHARED, default_yielding, option=option) == want[option]
            assert quibex.loads(want[option]) == json.loads(want[option])

    run_threads(work)


def test_containers_changed_by_other_threads_while_written():
    # Writers' default calls let the lock go mid-walk; other threads change
    # the very list and dict being written meanwhile. Every output is whole
    # JSON, or the error of a dict changed while iterated, and nothing
    # crashes; which, and what the output holds, depends on the timing.
    items = [Slow(i) for i in range(200)]
    table = {f"k{i}": Slow(i) for i in range(200)}
    stop = threading.Event()

    def mutate(index):
        n = 0
        while not stop.is_set():
            n += 1
            if n % 3 == 0:
                items[:] = [Slow(i) for i in range(n % 300)]
                table.clear()
            else:
                items.append(Slow(n))
                items.pop(0) if items else None
                table[f"k{n % 400}"] = Slow(n)
                table.pop(f"k{(n * 7) % 400}", None)
            time.sleep(0)

    def write(index):
        try:
            for round_ in range(30):
                for option in (0, quibex.OPT_INDENT_2, quibex.OPT_SORT_KEYS, quibex.OPT_NON_STR_KEYS):
                    try:
                        json.loads(quibex.dumps([items, table], default_yielding, option=option))
                    except quibex.JSONEncodeError as error:
                        assert type(error.__cause__) is RuntimeError, error
        finally:
            stop.set()

    run_threads(lambda i: (write if i % 2 else mutate)(i), count=4)


@pytest.mark.skipif(not (hasattr(sys, "_is_gil_enabled") and sysconfig.get_config_var("Py_GIL_DISABLED")),
                    reason="needs a free-threaded build")
def test_import_enables_the_gil_on_a_free_threaded_build():
    code = ("import sys, warnings\n"
            "assert not sys._is_gil_enabled()\n"
            "with warnings.catch_warnings(record=True) as caught:\n"
            "    warnings.simplefilter('always')\n"
            "    import quibex\n"
            "assert sys._is_gil_enabled()\n"
            "assert any(issubclass(w.category, RuntimeWarning) for w in caught)\n"
            "assert quibex.loads(quibex.dumps({'a': [1]})) == {'a': [1]}\n")
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    result = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr

"""quibex in subinterpreters: isolated ones with a GIL of their own (3.12+),
the interpreter pool of 3.14+, and legacy ones that share the main
interpreter's GIL (as mod_wsgi makes them). Each test runs in a child
process, so a fault in one interpreter cannot take the suite down."""
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

TESTS = pathlib.Path(__file__).parent
CORPUS = TESTS.parent.parent / "bench" / "corpus"

# run_isolated(code): runs code in a new isolated subinterpreter (its own
# GIL, its own module objects) and destroys it; raises if the code failed.
RUNNER = """
import sys
if sys.version_info >= (3, 14):
    from concurrent import interpreters

    def run_isolated(code):
        interp = interpreters.create()
        try:
            interp.exec(code)
        finally:
            interp.close()
elif sys.version_info >= (3, 13):
    import _interpreters

    def run_isolated(code):
        interp = _interpreters.create()
        try:
            failure = _interpreters.exec(interp, code)
            if failure is not None:
                raise RuntimeError(getattr(failure, "formatted", failure))
        finally:
            _interpreters.destroy(interp)
else:
    import _xxsubinterpreters as _interpreters

    def run_isolated(code):
        interp = _interpreters.create()
        try:
            _interpreters.run_string(interp, code)
        finally:
            _interpreters.destroy(interp)
"""

# The module's main behaviours, each interpreter with its own types: writes
# the repr of every result to OUT. `NUMPY` says whether to ask for numpy,
# which isolated subinterpreters refuse to import.
BEHAVIOUR = """
import dataclasses, datetime, enum, json, uuid
import quibex

@dataclasses.dataclass
class Point:
    x: int
    label: str

class Color(enum.Enum):
    RED = "red"
    PAIR = (1, "a")

class Level(enum.IntEnum):
    HIGH = 3

zone = datetime.timezone(datetime.timedelta(hours=5, minutes=30))
value = {
    "point": Point(1, "\\u00e9t\\u00e9"), "color": Color.RED, "pair": Color.PAIR, "level": Level.HIGH,
    "id": uuid.UUID("12345678-1234-5678-1234-567812345678"),
    "at": datetime.datetime(2024, 1, 2, 3, 4, 5, 678, tzinfo=zone),
    "utc": datetime.datetime(2024, 1, 2, tzinfo=datetime.timezone.utc),
    "naive": datetime.datetime(2024, 1, 2, 3, 4), "day": datetime.date(2024, 1, 2), "clock": datetime.time(3, 4),
    "raw": quibex.Fragment(b'{"a":[1]}'), "plain": [1, -2 ** 63, 2.5, None, True, "x" * 70, {"k": ()}],
}
keys = {Color.RED: 1, Level.HIGH: 2, uuid.UUID(int=5): 3, datetime.date(2024, 1, 2): 4, 1.5: 5, None: 6,
        datetime.datetime(2024, 1, 2, tzinfo=zone): 7}
results = [
    quibex.dumps(value),
    quibex.dumps(value, option=quibex.OPT_INDENT_2 | quibex.OPT_SORT_KEYS | quibex.OPT_UTC_Z),
    quibex.dumps(keys, option=quibex.OPT_NON_STR_KEYS | quibex.OPT_NAIVE_UTC),
    quibex.dumps([object()], default=lambda o: {"via": "default"}),
    quibex.dumps(value, option=quibex.OPT_PASSTHROUGH_DATETIME | quibex.OPT_PASSTHROUGH_DATACLASS,
                 default=lambda o: type(o).__name__),
    quibex.loads(b'[{"id": 1, "name": "a"}, {"id": 2, "name": "b"}, {"\\\\u00e9t\\\\u00e9": "", "": 1e300}]'),
    quibex.loads('{"k": [1, 2.5, null, true, false, "\\u20ac"]}'),
    quibex.loads(quibex.dumps(value)),
]
if NUMPY:
    results.append(quibex.dumps([1, {"a": 2.5}], option=quibex.OPT_SERIALIZE_NUMPY))
assert issubclass(quibex.JSONDecodeError, json.JSONDecodeError)
assert quibex.JSONDecodeError.__mro__[1] is json.JSONDecodeError
assert quibex.JSONEncodeError is TypeError
assert quibex.dumps.__self__ is quibex and quibex.loads.__self__ is quibex
for bad in (b"[1,", b"", '{"a" 1}', b"\\xff", b"[" * 2000, "\\ud800"):
    try:
        quibex.loads(bad)
    except json.JSONDecodeError as e:
        assert type(e) is quibex.JSONDecodeError
        results.append((e.msg, e.pos, e.lineno, e.colno))
    else:
        raise AssertionError(bad)
unsupported = [(object(), 0), ({1: 2}, 0), ({"a": {1}}, 0), (Point(1, "a"), quibex.OPT_PASSTHROUGH_DATACLASS),
               (datetime.time(1, tzinfo=zone), 0)]
if NUMPY:
    unsupported.append((object(), quibex.OPT_SERIALIZE_NUMPY))
for obj, option in unsupported:
    try:
        quibex.dumps(obj, option=option)
    except quibex.JSONEncodeError as e:
        results.append(str(e))
    else:
        raise AssertionError(obj)
with open(OUT, "w") as f:
    f.write(repr(results))
"""


def run_python(code, timeout=600):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(TESTS), *sys.path]))
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=env, timeout=timeout)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout


def behaviour(out, numpy):
    return f"import sys\nsys.path[:] = {sys.path!r}\nOUT = {str(out)!r}\nNUMPY = {numpy}\n" + BEHAVIOUR


def test_behaviour_runs_in_main(tmp_path):
    # The behaviour script itself, in this interpreter: it is what the
    # subinterpreters are compared with.
    out = tmp_path / "main"
    exec(behaviour(out, True), {})
    assert "b'{\"point\":{\"x\":1,\"label\":\"\\xc3\\xa9t\\xc3\\xa9\"}" in out.read_text()


@pytest.mark.skipif(sys.version_info < (3, 13), reason="datetime's C module loads in isolated subinterpreters from 3.13")
def test_isolated_subinterpreter_writes_and_reads_as_main(tmp_path):
    # Before and after the main interpreter imports quibex (and numpy, which
    # the isolated ones cannot): every interpreter has its own module.
    first, main, last = (tmp_path / n for n in ("first", "main", "last"))
    run_python(RUNNER + f"""
import pathlib
first, main, last = (pathlib.Path(p) for p in {(str(first), str(main), str(last))!r})
run_isolated({behaviour(first, True)!r})
exec({behaviour(main, True)!r}, {{}})
run_isolated({behaviour(last, True)!r})
try:
    import numpy  # imported in the main interpreter: still refused by the isolated ones
except ImportError:
    pass
run_isolated({behaviour(last, True)!r})
assert first.read_text() == main.read_text() == last.read_text()
""")


@pytest.mark.skipif(sys.version_info < (3, 12), reason="isolated subinterpreters arrived in 3.12")
def test_isolated_subinterpreter_module_objects_are_its_own():
    # On 3.12 an isolated subinterpreter has only the pure-Python datetime,
    # whose objects quibex does not read: they go to `default`.
    out = run_python(RUNNER + """
import os, json, quibex
r, w = os.pipe()
run_isolated(f'''
import datetime, os, json, quibex
ids = (id(quibex), id(quibex.Fragment), id(quibex.JSONDecodeError), id(json.JSONDecodeError))
text = quibex.dumps(datetime.datetime(2024, 1, 2), default=str)
os.write({w}, repr((ids, text)).encode())
''')
sub, text = eval(os.read(r, 1000))
main = (id(quibex), id(quibex.Fragment), id(quibex.JSONDecodeError), id(json.JSONDecodeError))
assert all(a != b for a, b in zip(sub, main)), (sub, main)
print(text.decode())
""")
    assert out.strip() == ('"2024-01-02 00:00:00"' if sys.version_info < (3, 13) else '"2024-01-02T00:00:00"')


@pytest.mark.skipif(sys.version_info < (3, 14), reason="InterpreterPoolExecutor arrived in 3.14")
def test_interpreter_pool_loads_and_writes_corpora_as_main():
    out = run_python(f"""
from concurrent.futures import InterpreterPoolExecutor
import subinterp_tasks
paths = [{str(CORPUS / "twitter.json.xz")!r}, {str(CORPUS / "citm_catalog.json.xz")!r},
         {str(CORPUS / "canada.json.xz")!r}]
expected = [subinterp_tasks.round_trip(p) for p in paths]
with InterpreterPoolExecutor(max_workers=4) as pool:
    got = list(pool.map(subinterp_tasks.round_trip, paths * 3))
assert got == expected * 3
print("equal", len(got))
""")
    assert out.strip() == "equal 9"


@pytest.mark.parametrize("main_first", [True, False], ids=["main-first", "sub-first"])
def test_legacy_subinterpreter_writes_and_reads_as_main(tmp_path, main_first):
    pytest.importorskip("_testcapi")
    sub, main = tmp_path / "sub", tmp_path / "main"
    run_python(f"""
import _testcapi, pathlib
if {main_first}:
    import quibex
assert _testcapi.run_in_subinterp({behaviour(sub, False)!r}) == 0
exec({behaviour(main, False)!r}, {{}})
assert _testcapi.run_in_subinterp({behaviour(sub, False)!r}) == 0
assert pathlib.Path({str(sub)!r}).read_text() == pathlib.Path({str(main)!r}).read_text()
""")


# One interpreter's life: quibex imported, its key cache filled, a dataclass,
# a zoned datetime and an exception of the interpreter written or raised,
# numpy asked for where it is refused (NUMPY; a legacy subinterpreter would
# load numpy itself, which is not made to be unloaded). BASE does the same
# with json and the modules quibex imports, for the interpreters' own
# growth.
LIFE = """
import dataclasses, datetime, quibex
@dataclasses.dataclass
class P:
    a: int
doc = quibex.dumps([{"key%d" % i: i for i in range(2000)}, P(1), datetime.datetime.now(datetime.timezone.utc)])
assert quibex.loads(doc)[0]["key1999"] == 1999
try:
    quibex.loads(b"[")
except quibex.JSONDecodeError:
    pass
if NUMPY:
    quibex.dumps([1], option=quibex.OPT_SERIALIZE_NUMPY)
"""
BASE = """
import dataclasses, datetime, enum, json, uuid  # what quibex imports
doc = json.dumps([{"key%d" % i: i for i in range(2000)}, str(datetime.datetime.now(datetime.timezone.utc))])
assert json.loads(doc)[0]["key1999"] == 1999
"""

# Growth over many interpreters created and destroyed after a warm-up, less
# that of as many running BASE: what one interpreter's module state left
# behind would add up. Legacy subinterpreters share the main interpreter's
# allocator, whose count of allocated blocks is exact (those of 3.12 and 3.13
# leave thousands of blocks each by themselves, as many every time); an
# isolated one has an allocator of its own, whose memory stays mapped if
# any block of it outlives the interpreter, so RSS tells.
LOOP = """
import os, sys
def measure():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE"), sys.getallocatedblocks()
def growth(code):
    for _ in range(5):
        run(code)
    before = measure()
    for _ in range(40):
        run(code)
    return [b - a for a, b in zip(before, measure())]
base = growth({base!r})
print(*(q - b for q, b in zip(growth({life!r}), base)))
"""


# The memory of the sanitizer and memcheck runs grows by design: only the
# release build measures.
@pytest.mark.release_build
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="RSS is read from /proc")
@pytest.mark.parametrize("kind", ["isolated", "legacy"])
def test_interpreters_created_and_destroyed_leak_nothing(kind):
    if kind == "isolated":
        if sys.version_info < (3, 13):
            # 3.12's isolated subinterpreters fall back to the pure-Python
            # datetime, and a few dozen that import it crash the 3.12.1
            # interpreter with or without quibex.
            pytest.skip("repeated isolated subinterpreters importing datetime need 3.13")
        setup = RUNNER + "run = run_isolated\n"
    else:
        pytest.importorskip("_testcapi")
        setup = "import _testcapi\ndef run(code):\n    assert _testcapi.run_in_subinterp(code) == 0\n"
    path = f"import sys\nsys.path[:] = {sys.path!r}\nNUMPY = {kind == 'isolated'}\n"
    rss, blocks = map(int, run_python(setup + LOOP.format(life=path + LIFE, base=path + BASE)).split())
    # A leaked module state holds over 2000 blocks (its key cache, full, is
    # some 150 KiB with its keys): 80000 blocks, 6 MiB over 40 interpreters.
    # The import itself leaves 17 blocks per legacy subinterpreter of 3.13;
    # the RSS of the isolated loops varies by up to 2.5 MiB either way.
    if kind == "legacy":
        assert blocks < 40 * 100, blocks
    else:
        assert rss < 4 * 1024 * 1024, rss

import datetime
import enum
import sys
import uuid

import pytest
from hypothesis import settings

# Machines running the suite are shared and loaded: a per-example deadline
# would fail tests for the machine's speed, not for what they check.
settings.register_profile("quibex", deadline=None)
settings.load_profile("quibex")


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "release_build: holds for the release build only (an address-space limit, the exported symbols"
        " after link-time optimisation, a stack budget); the sanitizer run leaves these out")


# --- values shared by the test modules -----------------------------------------

class Color(enum.Enum):
    """Members whose values are of every kind dumps writes."""
    RED = "red"
    ONE = 1
    THREE = 3
    PAIR = (1, "a")
    NESTED = (1, 2)
    DAY = datetime.date(2024, 1, 2)
    ID = uuid.UUID(int=1)
    NOTHING = None
    MAP = 2.5


class Shade(enum.Enum):
    """Members whose values are members of another enum."""
    DARK = Color.RED
    DEEPER = Color.PAIR


class Number(enum.IntEnum):
    TWO = 2
    THREE = 3


class StrSub(str):
    """A str subclass that adds nothing."""


class IntSub(int):
    """An int subclass that adds nothing."""


class BytesSub(bytes):
    """A bytes subclass that adds nothing."""


@pytest.fixture
def refcount():
    """Returns sys.getrefcount, for tests that check references are balanced."""
    return sys.getrefcount


CORPUS_DIR = __import__("pathlib").Path(__file__).resolve().parents[2] / "bench" / "corpus"


IN_DEBUG_ALLOCATOR_CHILD = __import__("os").environ.get("PYTHONMALLOC") == "debug"
outside_debug_allocator_child = pytest.mark.skipif(IN_DEBUG_ALLOCATOR_CHILD,
                                                   reason="already in the debug-allocator child")


def run_under_debug_allocator(test_file, selection, timeout):
    """Runs the tests of test_file that `-k selection` picks in a child
    interpreter under PYTHONMALLOC=debug, which checks each block is freed
    from the domain it came from and that nothing writes past it."""
    import os
    import subprocess
    env = dict(os.environ, PYTHONMALLOC="debug")
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", test_file, "-k", selection],
        env=env, capture_output=True, text=True, timeout=timeout,
    )
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]


def corpus_names():
    """Names of the bundled JSON corpora (bench/corpus/NAME.json.xz)."""
    return sorted(p.name[: -len(".json.xz")] for p in CORPUS_DIR.glob("*.json.xz"))


def corpus_bytes(name):
    """The raw JSON bytes of one bundled corpus."""
    import lzma
    return lzma.decompress((CORPUS_DIR / f"{name}.json.xz").read_bytes())


def nest(depth, make, inner=1):
    """`inner` wrapped `depth` times by `make` (say, lambda v: [v])."""
    value = inner
    for _ in range(depth):
        value = make(value)
    return value

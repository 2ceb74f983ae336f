import sys

import pytest
from hypothesis import settings

# Machines running the suite are shared and loaded: a per-example deadline
# would fail tests for the machine's speed, not for what they check.
settings.register_profile("quibex", deadline=None)
settings.load_profile("quibex")


@pytest.fixture
def refcount():
    """Returns sys.getrefcount, for tests that check references are balanced."""
    return sys.getrefcount


CORPUS_DIR = __import__("pathlib").Path(__file__).resolve().parents[2] / "bench" / "corpus"


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

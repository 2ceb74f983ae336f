"""The benchmark cases: what is timed, by which library, and how it is validated.

A case is one document and one operation (subject/mode, e.g. twitter/loads).
Each library taking part is a contender. Before anything is timed, every
contender runs once and its result is checked against the stdlib json oracle;
a contender that raises or disagrees is reported instead of timed.
"""
import dataclasses
import datetime
import enum
import fnmatch
import functools
import gc
import json
import lzma
import marshal
import random
import time
import uuid
from pathlib import Path
from typing import Callable

import numpy as np

import peers

CORPUS_DIR = Path(__file__).resolve().parent / "corpus"

# Every bundled corpus, in display order.
CORPORA = ("twitter", "twitterescaped", "citm_catalog", "canada", "gsoc-2018", "mesh",
           "numbers", "update-center", "apache_builds", "instruments", "marine_ik", "random")

# The corpora of --quick: social text, a larger object graph, and floats.
QUICK_CORPORA = ("twitter", "citm_catalog", "canada")

CORPUS_MODES = ("dumps", "loads", "indent", "sort")

# Extra cases: (subject, mode), in display order.
EXTRA_CASES = (("records", "native-types"), ("twitter-int-keys", "non-str-keys"),
               ("numpy-f64", "numpy"), ("numpy-i64", "numpy"), ("numpy-f32-2d", "numpy"),
               ("citm_catalog", "loads-gc"), ("canada", "loads-gc"))


@dataclasses.dataclass
class Contender:
    library: str
    call: Callable[[], object] | None = None
    note: str = ""
    status: str = "ok"          # ok | skipped | mismatch | error
    reason: str = ""
    repeat: int = 1             # calls per measurement
    first_call: float = 0.0     # seconds taken by the validation call
    samples: list = dataclasses.field(default_factory=list)   # seconds per call, one per round


@dataclasses.dataclass
class Case:
    subject: str
    mode: str
    size: int                   # bytes of JSON (the stdlib's output, or the input of loads)
    contenders: list
    detail: str = ""
    rounds: int = 0             # rounds this case takes part in, set when calibrating

    @property
    def id(self):
        return f"{self.subject}/{self.mode}"


def all_case_ids():
    ids = [(c, m) for m in CORPUS_MODES for c in CORPORA]
    return ids + list(EXTRA_CASES)


def selected(subject, mode, patterns):
    """A pattern selects a case by subject, by mode, or by a glob over subject/mode."""
    if not patterns:
        return True
    case_id = f"{subject}/{mode}"
    return any(p in (subject, mode) or fnmatch.fnmatchcase(case_id, p)
               or fnmatch.fnmatchcase(subject, p) for p in patterns)


@functools.cache
def corpus_bytes(name):
    return lzma.decompress((CORPUS_DIR / f"{name}.json.xz").read_bytes())


@functools.cache
def corpus(name):
    """(JSON bytes, parsed object) of a bundled corpus."""
    data = corpus_bytes(name)
    return data, json.loads(data)


# ---------------------------------------------------------------------------
# Validation. Results are compared through marshal format 0, which keeps key
# order and tells int from float and -0.0 from 0.0, but ignores the sharing
# and interning of objects, which legitimately differ between libraries.

def _exact(value):
    return marshal.dumps(value, 0)


def _short(value, limit=60):
    text = repr(value)
    return text if len(text) <= limit else text[:limit] + "..."


def first_difference(want, got, path="$"):
    """Where two decoded documents first differ, for the report; None if equal."""
    if type(want) is not type(got):
        return f"at {path}: expected {_short(want)}, got {_short(got)}"
    if isinstance(want, dict):
        if list(want) != list(got):
            if set(want) == set(got):
                return f"at {path}: keys in order {_short(list(got))}, expected {_short(list(want))}"
            missing = [k for k in want if k not in got]
            extra = [k for k in got if k not in want]
            return f"at {path}: missing keys {_short(missing)}, extra keys {_short(extra)}"
        for key in want:
            found = first_difference(want[key], got[key], f"{path}[{key!r}]")
            if found:
                return found
        return None
    if isinstance(want, list):
        if len(want) != len(got):
            return f"at {path}: {len(got)} items instead of {len(want)}"
        for i, (w, g) in enumerate(zip(want, got)):
            found = first_difference(w, g, f"{path}[{i}]")
            if found:
                return found
        return None
    if _exact(want) != _exact(got):
        return f"at {path}: expected {_short(want)}, got {_short(got)}"
    return None


def same_tree(want, decode=lambda out: out, want_bytes=None):
    """A check that the decoded output equals `want` exactly."""
    key = _exact(want)

    def check(out):
        if want_bytes is not None and out == want_bytes:
            return None
        try:
            got = decode(out)
        except Exception as exc:  # noqa: BLE001 - any failure is a mismatch to report
            return f"output does not decode: {type(exc).__name__}: {exc}"
        if _exact(got) == key:
            return None
        return first_difference(want, got) or "differs"
    return check


def same_array(a):
    """A check that JSON output holds the items of array `a`, compared in its dtype."""
    items = _exact(a.tolist())

    def check(out):
        got = json.loads(out)
        if a.dtype == np.float32:
            back = np.asarray(got, dtype=np.float32)
            if back.shape == a.shape and np.array_equal(back, a):
                return None
            return "float32 items differ"
        if _exact(got) == items:
            return None
        return first_difference(a.tolist(), got) or "differs"
    return check


def contender(library, fn, arg, check, note="", feature=False):
    """Runs `fn(arg)` once and checks it; the contender is timed only if it passes.

    `feature` marks a quibex capability that may not be built yet: an
    exception then skips the contender instead of marking an error.
    """
    c = Contender(library, note=note)
    if fn is None:
        c.status, c.reason, c.note = "skipped", note, ""
        return c
    call = functools.partial(fn, arg)
    try:
        start = time.perf_counter()
        out = call()
        c.first_call = time.perf_counter() - start
    except Exception as exc:  # noqa: BLE001 - reported in the table
        c.status = "skipped" if feature else "error"
        c.reason = ("not built yet: " if feature else "") + f"{type(exc).__name__}: {exc}"[:160]
        return c
    problem = check(out)
    if problem:
        c.status, c.reason = "mismatch", problem[:300]
    else:
        c.call = call
    return c


def _json_peers(libraries):
    return [peers.PEERS[name] for name in libraries if name in peers.PEERS]


# ---------------------------------------------------------------------------
# Corpus cases.

def corpus_case(name, mode, libraries):
    data, obj = corpus(name)
    if mode == "loads":
        return _loads_case(name, data, obj, libraries)
    oracle = peers.PEERS["json"].dumps[mode][0](obj)
    want = json.loads(oracle)
    contenders = []
    for peer in _json_peers(libraries):
        if peer.dumps is None:
            continue
        fn, note = peer.dumps[mode]
        if peer.decode is marshal.loads:
            check = same_tree(obj, marshal.loads)
        else:
            check = same_tree(want, peer.decode, oracle)
        contenders.append(contender(peer.name, fn, obj, check, note))
    return Case(name, mode, len(oracle), contenders)


def _loads_case(name, data, obj, libraries):
    check = same_tree(obj)
    contenders = []
    for peer in _json_peers(libraries):
        fn, note = peer.loads
        arg = peer.loads_input(data, obj) if peer.loads_input else data
        c = contender(peer.name, fn, arg, check, note)
        if c.status == "error" and "TypeError" in c.reason and isinstance(arg, bytes):
            c = contender(peer.name, fn, arg.decode(), check, "from str")
        contenders.append(c)
    return Case(name, "loads", len(data), contenders)


# ---------------------------------------------------------------------------
# Records holding datetimes, UUIDs, enums and dataclasses.

class Status(enum.Enum):
    ACTIVE = "active"
    SUSPENDED = "suspended"
    CLOSED = "closed"


class Tier(enum.IntEnum):
    FREE = 0
    PRO = 1
    ENTERPRISE = 2


@dataclasses.dataclass
class Owner:
    name: str
    email: str
    joined: datetime.date


@dataclasses.dataclass
class Record:
    id: int
    key: uuid.UUID
    created: datetime.datetime
    modified: datetime.datetime
    status: Status
    tier: Tier
    score: float
    tags: list
    owner: Owner


def make_records(count, seed=7):
    rng = random.Random(seed)
    epoch = datetime.datetime(2020, 1, 1, tzinfo=datetime.timezone.utc)
    words = ["alpha", "beta", "gamma", "delta", "épsilon", "zeta", "eta", "θeta"]
    records = []
    for i in range(count):
        created = epoch + datetime.timedelta(seconds=rng.randrange(10 ** 8),
                                             microseconds=rng.choice((0, rng.randrange(10 ** 6))))
        records.append(Record(
            id=i,
            key=uuid.UUID(int=rng.getrandbits(128), version=4),
            created=created,
            modified=created + datetime.timedelta(seconds=rng.randrange(10 ** 6)),
            status=rng.choice(list(Status)),
            tier=rng.choice(list(Tier)),
            score=round(rng.uniform(0, 100), 3),
            tags=rng.sample(words, rng.randrange(4)),
            owner=Owner(name=f"user{rng.randrange(10 ** 5)}", email=f"u{i}@example.org",
                        joined=datetime.date(2010, 1, 1) + datetime.timedelta(days=rng.randrange(5000))),
        ))
    return records


def records_case(libraries, count):
    doc = make_records(count)
    oracle = peers.RECORD_DUMPS["json"][0](doc)
    check = same_tree(json.loads(oracle), json.loads, oracle)
    contenders = []
    for lib in libraries:
        if lib in peers.RECORD_DUMPS:
            fn, note = peers.RECORD_DUMPS[lib]
            contenders.append(contender(lib, fn, doc, check, note, feature=lib == "quibex"))
    return Case("records", "native-types", len(oracle), contenders,
                f"{count} dataclasses: datetime, date, UUID, Enum, IntEnum")


# ---------------------------------------------------------------------------
# Dicts keyed by int.

def int_keyed_twitter():
    """The twitter corpus re-keyed: statuses and users in dicts keyed by their int ids."""
    _, obj = corpus("twitter")
    statuses = obj["statuses"]
    return {
        "statuses": {s["id"]: s for s in statuses},
        "users": {s["user"]["id"]: s["user"] for s in statuses},
        "search_metadata": obj["search_metadata"],
    }


def non_str_keys_case(libraries):
    doc = int_keyed_twitter()
    oracle = peers.NON_STR_KEYS_DUMPS["json"][0](doc)
    want = json.loads(oracle)
    contenders = []
    for lib in libraries:
        if lib not in peers.NON_STR_KEYS_DUMPS:
            continue
        fn, note = peers.NON_STR_KEYS_DUMPS[lib]
        check = (same_tree(doc, marshal.loads) if lib == "marshal"
                 else same_tree(want, json.loads, oracle))
        contenders.append(contender(lib, fn, doc, check, note, feature=lib == "quibex"))
    return Case("twitter-int-keys", "non-str-keys", len(oracle), contenders,
                "statuses and users keyed by int id")


# ---------------------------------------------------------------------------
# numpy arrays.

def make_array(subject, items):
    rng = np.random.default_rng(11)
    if subject == "numpy-f64":
        return rng.normal(0.0, 1000.0, items)
    if subject == "numpy-i64":
        return rng.integers(-10 ** 12, 10 ** 12, items, dtype=np.int64)
    side = round(items ** 0.5)
    return rng.random((side, side), dtype=np.float32)


def numpy_case(subject, libraries, items):
    a = make_array(subject, items)
    oracle = peers.ARRAY_DUMPS["json"](a.tolist())
    check = same_array(a)
    contenders = []
    for lib in libraries:
        if lib == "quibex":
            contenders.append(contender("quibex", peers.quibex_numpy, a, check,
                                        "OPT_SERIALIZE_NUMPY", feature=True))
            contenders.append(contender("quibex tolist", peers.quibex_tolist, a, check, "tolist()"))
        elif lib in peers.ARRAY_DUMPS:
            fn = peers.ARRAY_DUMPS[lib]
            try:
                fn(a[:2])
                contenders.append(contender(lib, fn, a, check, "native"))
            except TypeError:
                contenders.append(contender(lib, _via_tolist(fn), a, check, "tolist()"))
        elif lib == "marshal":
            contenders.append(contender(lib, None, a, check, "no arrays"))
    shape = "x".join(str(n) for n in a.shape)
    return Case(subject, "numpy", len(oracle), contenders, f"{shape} {a.dtype}")


def _via_tolist(fn):
    def dumps_list(a):
        return fn(a.tolist())
    return dumps_list


def _with_collector(call):
    """The call with the cyclic garbage collector enabled, as it is by default
    (the rounds run with it disabled)."""
    def run():
        gc.enable()
        try:
            return call()
        finally:
            gc.disable()
    return run


def collector_case(name, libraries):
    data, obj = corpus(name)
    case = _loads_case(name, data, obj, libraries)
    for c in case.contenders:
        if c.call is not None:
            c.call = _with_collector(c.call)
    case.mode, case.detail = "loads-gc", "loads with the garbage collector enabled"
    return case


def build_case(subject, mode, libraries, quick):
    if mode in CORPUS_MODES:
        return corpus_case(subject, mode, libraries)
    if mode == "loads-gc":
        return collector_case(subject, libraries)
    if subject == "records":
        return records_case(libraries, 10_000)
    if subject == "twitter-int-keys":
        return non_str_keys_case(libraries)
    return numpy_case(subject, libraries, 10 ** 5 if quick else 10 ** 6)

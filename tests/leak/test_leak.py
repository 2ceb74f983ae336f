"""Input sets that cover every type, option and error path of dumps and loads,
each run many times under the leak check of conftest.py.

A pass calls dumps or loads once per case and drops the outcome. The
reference counts watched are those of everything the inputs hold (container
items, dataclass members, enum values, fragment contents), the results that
default hands back, and the key strings that loads keeps in its cache.
"""
import dataclasses
import datetime
import enum
import json
import lzma
import pathlib
import uuid

import pytest

import quibex

CORPUS_DIR = pathlib.Path(__file__).resolve().parents[2] / "bench" / "corpus"

INDENT = quibex.OPT_INDENT_2


# --- Values -------------------------------------------------------------------------------

class Color(enum.Enum):
    RED = "red"
    PAIR = (1, "a")
    DAY = datetime.date(2024, 1, 2)


class Shade(enum.Enum):
    DARK = Color.RED


class Number(enum.IntEnum):
    TWO = 2


class Text(str):
    pass


class Count(int):
    pass


class Items(list):
    pass


class Mapping(dict):
    pass


@dataclasses.dataclass
class Point:
    x: object
    y: object
    _hidden: int = 0


@dataclasses.dataclass(slots=True)
class Slotted:
    a: object
    b: object


class Offset(datetime.tzinfo):
    """A time zone written in Python: utcoffset, dst and tzname run Python code."""

    def __init__(self, hours):
        self.delta = datetime.timedelta(hours=hours)

    def utcoffset(self, dt):
        return self.delta

    def dst(self, dt):
        return datetime.timedelta(0)

    def tzname(self, dt):
        return "X"


class NoOffset(Offset):
    def utcoffset(self, dt):
        return None


class RaisingOffset(Offset):
    def utcoffset(self, dt):
        raise ValueError("no offset")


class Unsupported:
    pass


DEFAULT_RESULT = ["from default", {"k": 1.5}]
FRAGMENT_BYTES = b'{"pre":[1,2,"x"]}'
FRAGMENT_TEXT = "[\"\u00e9\u20ac\U0001f600\"]"


def default_to_shared(obj):
    """Returns one long-lived object: its reference count must come back."""
    return DEFAULT_RESULT


def default_to_new(obj):
    """Returns fresh objects of several kinds: they must all be released."""
    if isinstance(obj, (set, frozenset)):
        return sorted(obj)
    # Not str(obj): the interpreter's own text of an aware datetime keeps
    # memory that would be counted here.
    return [type(obj).__name__, {"n": 1}, quibex.Fragment(b"7")]


def default_raising(obj):
    raise ValueError("from default")


def default_to_itself(obj):
    return obj


def default_to_deep(obj):
    """A fresh nest deeper than the container limit."""
    value = [obj.__class__.__name__]
    for _ in range(260):
        value = [value]
    return value


def zones():
    """Time zones of every kind that can be installed here."""
    found = [datetime.timezone.utc, datetime.timezone(datetime.timedelta(hours=-5, minutes=-30)), Offset(2)]
    try:
        import zoneinfo
        found.append(zoneinfo.ZoneInfo("Europe/Berlin"))
    except Exception:  # no zone database
        pass
    try:
        import pytz
        found.append(pytz.timezone("America/New_York"))
    except ImportError:
        pass
    try:
        from dateutil import tz
        found.append(tz.gettz("Asia/Tokyo"))
    except ImportError:
        pass
    return [z for z in found if z is not None]


def datetimes():
    naive = datetime.datetime(2024, 2, 29, 23, 59, 58, 123456)
    values = [naive, datetime.date(1, 1, 1), datetime.time(12, 0, 0, 5), naive.replace(microsecond=0)]
    for zone in zones():
        if hasattr(zone, "localize"):
            values.append(zone.localize(naive))
        else:
            values.append(naive.replace(tzinfo=zone))
    return values


def numpy_values():
    try:
        import numpy as np
    except ImportError:
        return []
    values = [(np.arange(24) % 3).astype(dtype).reshape(2, 3, 4) for dtype in
              ("int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64",
               "float16", "float32", "float64", "bool")]
    values += [np.array([], dtype="int32"), np.zeros((0, 3)),
               np.array(["2024-01-01T00:00:00", "1969-12-31T23:59:59"], dtype="datetime64[s]"),
               np.float32(1.5), np.int64(-7), np.bool_(True), np.float16(0.1), np.uint8(200),
               np.datetime64("2024-05-06T07:08:09.123", "ms")]
    return values


def plain_document():
    """A document of every exact JSON type, with every kind of str."""
    return {
        "ascii": "plain text",
        "latin1": "caf\u00e9",
        "bmp": "\u20ac\u4e2d" * 20,
        "astral": "\U0001f600" * 3,
        "escapes": "\x00\x1f\"\\\n\t/\x7f" * 40,
        "long": "x" * 70_000,
        "empty": "",
        "ints": [0, -1, 2**31, 2**53, 2**63 - 1, -(2**63), 2**64 - 1],
        "floats": [0.0, -0.0, 1.5, 1e308, 5e-324, float("nan"), float("inf"), -float("inf"), 0.1],
        "singletons": [None, True, False],
        "nested": [[[]], {}, [{}], {"a": {"b": {"c": []}}}],
        "tuple": (1, "two", (3.0,)),
        "k\u00e9y" * 3: {"\U0001f600": 1},
    }


def success_values():
    deep = 1
    for _ in range(254):
        deep = [deep]
    values = [
        plain_document(),
        deep,
        Text("sub"), Count(5), Items([1, 2]), Mapping({"m": [1]}),
        Color.RED, Color.PAIR, Color.DAY, Shade.DARK, Number.TWO,
        Point(1, [Point("x", None)]), Slotted({"z": 1}, (Color.RED,)),
        uuid.UUID(int=0x1234567890ABCDEF), uuid.uuid5(uuid.NAMESPACE_DNS, "quibex"),
        quibex.Fragment(FRAGMENT_BYTES), quibex.Fragment(FRAGMENT_TEXT),
        [Unsupported(), {"s": {1, 2}}, frozenset({3})],  # through default
        *datetimes(),
    ]
    return values


NON_STR_KEYS = {
    7: "int", -2**63: "min", 2**64 - 1: "max", 1.5: "float", float("nan"): "nan", True: "bool", None: "none",
    datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc): "dt", datetime.date(2024, 1, 1): "date",
    datetime.time(1, 2): "time", uuid.UUID(int=5): "uuid", Color.RED: "enum", Number.TWO: "intenum",
    Text("sub"): "str subclass", "plain": "str",
}

SUCCESS_OPTIONS = [
    0,
    INDENT | quibex.OPT_APPEND_NEWLINE,
    quibex.OPT_SORT_KEYS | quibex.OPT_NAIVE_UTC | quibex.OPT_UTC_Z | quibex.OPT_OMIT_MICROSECONDS,
    quibex.OPT_SORT_KEYS | INDENT | quibex.OPT_SERIALIZE_NUMPY,
    quibex.OPT_NON_STR_KEYS | quibex.OPT_SERIALIZE_NUMPY,
    quibex.OPT_PASSTHROUGH_SUBCLASS | quibex.OPT_PASSTHROUGH_DATETIME | quibex.OPT_PASSTHROUGH_DATACLASS,
]


def encode_error_cases():
    """(label, callable) for every error dumps can raise, argument errors included."""
    surrogate = "\ud800"
    deep = []
    for _ in range(255):
        deep = [deep, {}]
    loop = object.__new__(Color)
    loop._value_ = loop
    unset = Slotted.__new__(Slotted)
    unset.a = 1
    big_then_bad = ["y" * 200_000, {"k": [1, 2, Unsupported()]}]
    # Built once: the interpreter's own hash of an aware datetime keeps memory.
    naive_key = {datetime.datetime(2024, 1, 1, tzinfo=NoOffset(0)): 1}
    cases = [
        ("unsupported", lambda: quibex.dumps([1, Unsupported()])),
        ("default-raises", lambda: quibex.dumps({"k": Unsupported()}, default_raising)),
        ("default-None", lambda: quibex.dumps(Unsupported(), None)),
        ("default-itself", lambda: quibex.dumps([Unsupported()], default_to_itself)),
        ("default-too-deep", lambda: quibex.dumps(Unsupported(), default_to_deep)),
        ("after-growth", lambda: quibex.dumps(big_then_bad, option=INDENT)),
        ("int-64", lambda: quibex.dumps([2**64])),
        ("int-huge", lambda: quibex.dumps(10**1000)),
        ("int-53", lambda: quibex.dumps(2**53, option=quibex.OPT_STRICT_INTEGER)),
        ("str-surrogate", lambda: quibex.dumps(["ok", surrogate])),
        ("key-surrogate", lambda: quibex.dumps({surrogate: 1}, option=quibex.OPT_SORT_KEYS)),
        ("member-surrogate", lambda: quibex.dumps(Point(surrogate, 1))),
        ("fragment-surrogate", lambda: quibex.dumps(quibex.Fragment(surrogate))),
        ("fragment-type", lambda: quibex.dumps([quibex.Fragment(bytearray(b"1"))])),
        ("key-not-str", lambda: quibex.dumps({"a": 1, 2: 3})),
        ("sorted-key-not-str", lambda: quibex.dumps({"a": 1, 2: 3}, option=quibex.OPT_SORT_KEYS)),
        ("depth", lambda: quibex.dumps(deep)),
        ("enum-cycle", lambda: quibex.dumps(loop)),
        ("slot-unset", lambda: quibex.dumps(unset)),
        ("time-tzinfo", lambda: quibex.dumps(datetime.time(1, tzinfo=datetime.timezone.utc))),
        ("tz-none", lambda: quibex.dumps(datetime.datetime(2024, 1, 1, tzinfo=NoOffset(0)))),
        ("tz-raises", lambda: quibex.dumps(datetime.datetime(2024, 1, 1, tzinfo=RaisingOffset(0)))),
        ("key-tz-none", lambda: quibex.dumps(naive_key, option=quibex.OPT_NON_STR_KEYS)),
        ("key-int-64", lambda: quibex.dumps({2**64: 1}, option=quibex.OPT_NON_STR_KEYS)),
        ("key-type", lambda: quibex.dumps({"a": 1, (1, 2): 2}, option=quibex.OPT_NON_STR_KEYS | quibex.OPT_SORT_KEYS)),
        ("no-obj", lambda: quibex.dumps()),
        ("bad-option", lambda: quibex.dumps(1, option=4096)),
        ("bad-keyword", lambda: quibex.dumps(1, foo=1)),
        ("keyword-twice", lambda: quibex.dumps(1, None, default=None)),
    ]
    try:
        import numpy as np
    except ImportError:
        return cases
    numpy_option = quibex.OPT_SERIALIZE_NUMPY
    cases += [
        ("numpy-endian", lambda: quibex.dumps(np.arange(3, dtype=">i4"), option=numpy_option)),
        ("numpy-contiguous", lambda: quibex.dumps(np.arange(6).reshape(2, 3).T, option=numpy_option)),
        ("numpy-dtype", lambda: quibex.dumps(np.array([1 + 2j]), option=numpy_option)),
        ("numpy-0d", lambda: quibex.dumps(np.array(3.5), option=numpy_option)),
        ("numpy-datetime", lambda: quibex.dumps(np.array([10**17], dtype="datetime64[s]"), option=numpy_option)),
        ("numpy-nat", lambda: quibex.dumps([np.datetime64("NaT", "s")], option=numpy_option)),
    ]
    return cases


def reachable(*roots):
    """(label, object) for the roots and everything they hold that dumps reads:
    container items and keys, dataclass members, enum values."""
    seen, found, stack = set(), [], [(repr(type(r)), r) for r in roots]
    while stack:
        label, obj = stack.pop()
        if id(obj) in seen:
            continue
        seen.add(id(obj))
        found.append((label[:80], obj))
        children = []
        if isinstance(obj, dict):
            children = [*obj.keys(), *obj.values()]
        elif isinstance(obj, (list, tuple, set, frozenset)):
            children = list(obj)
        elif isinstance(obj, enum.Enum):
            children = [obj.value]
        elif dataclasses.is_dataclass(obj) and not isinstance(obj, type):
            children = [getattr(obj, f.name) for f in dataclasses.fields(obj) if hasattr(obj, f.name)]
        stack.extend((f"{label}>{type(c).__name__}", c) for c in children)
    return found


def dumps_pass(values, options, default):
    def one_pass():
        calls = 0
        for option in options:
            for value in values:
                try:
                    quibex.dumps(value, default, option=option)
                except quibex.JSONEncodeError:
                    pass
                calls += 1
        return calls
    return one_pass


def test_dumps_values(leakcheck):
    values = success_values()
    for option in SUCCESS_OPTIONS:
        for value in values:
            quibex.dumps(value, default_to_new, option=option)  # every case is a success
    watched = reachable(*values) + reachable(DEFAULT_RESULT) + [
        ("fragment bytes", FRAGMENT_BYTES), ("fragment text", FRAGMENT_TEXT)]
    leakcheck("dumps values x options", dumps_pass(values, SUCCESS_OPTIONS, default_to_new), watched)


def test_dumps_default_results_and_non_str_keys(leakcheck):
    values = [Unsupported(), [Unsupported()] * 3, NON_STR_KEYS, Mapping(NON_STR_KEYS)]
    options = [quibex.OPT_NON_STR_KEYS, quibex.OPT_NON_STR_KEYS | quibex.OPT_SORT_KEYS | INDENT,
               quibex.OPT_NON_STR_KEYS | quibex.OPT_UTC_Z | quibex.OPT_PASSTHROUGH_SUBCLASS]
    for option in options:
        for value in values:
            quibex.dumps(value, default_to_shared, option=option)
    watched = reachable(*values) + reachable(DEFAULT_RESULT)
    leakcheck("dumps default, non-str keys", dumps_pass(values, options, default_to_shared), watched)


def test_dumps_numpy(leakcheck):
    pytest.importorskip("numpy")
    values = numpy_values()
    options = [quibex.OPT_SERIALIZE_NUMPY, quibex.OPT_SERIALIZE_NUMPY | INDENT | quibex.OPT_NAIVE_UTC]
    for option in options:
        for value in values:
            quibex.dumps(value, option=option)
    watched = [(f"{type(v).__name__} {getattr(v, 'dtype', '')}", v) for v in values]
    watched += [(f"dtype {v.dtype}", v.dtype) for v in values]
    leakcheck("dumps numpy", dumps_pass(values, options, None), watched)


def test_dumps_errors(leakcheck):
    cases = encode_error_cases()
    for label, case in cases:
        with pytest.raises((TypeError,)):
            case()
    watched = [(label, case) for label, case in cases]
    watched += reachable(*[cell.cell_contents for _, case in cases for cell in (case.__closure__ or ())])

    def one_pass():
        for _, case in cases:
            try:
                case()
            except TypeError:
                pass
        return len(cases)

    leakcheck("dumps errors", one_pass, watched)


# --- Documents ---------------------------------------------------------------------------

def corpus(name):
    return lzma.decompress((CORPUS_DIR / f"{name}.json.xz").read_bytes())


def small_documents():
    """Documents of every shape the reader knows, in every accepted input type."""
    keyed = json.dumps([{"id": i, "name": f"n{i}", "k" * 64: None, "k" * 65: [], "\u00e9\u20ac": True}
                        for i in range(50)], ensure_ascii=False)
    docs = [
        keyed.encode(), keyed, bytearray(keyed.encode()), memoryview(keyed.encode()),
        b'{"a":1,"a":2,"b":[1,-1,1.5,true,false,null,"",{}]}',
        "[\"\u00e9\", {\"\U0001f600\": \"\u4e2d\"}]",
        rb'["\u0000\ud83d\ude00\n\"\\\/", {"\u0061": 1}]',
        b'[18446744073709551615, 18446744073709551616, -9223372036854775808, -9223372036854775809]',
        b"[" + b"1" * 800 + b"e-790, 2.2250738585072011e-308, 1e-400, -0.0, 0.1, 1e308]",
        b"[" * 1024 + b"]" * 1024,
        b"[  " + b"1," * 3000 + b"1]",  # indented start, dense text
        json.dumps({f"key{i}": i for i in range(3000)}).encode(),  # more keys than cache slots
        b'{"%s":1,"b":2,"%s":[3]}' % (b"long key " * 20, b"long key " * 20),  # a repeat the cache does not share
        b'""', b"{}", b"[]", b"null", b"true", b"false", b"0", b'"\xc3\xa9"',
    ]
    return docs


def error_documents():
    """One input per decode error."""
    return [
        b"", "", bytearray(), b"   ", b"\xff", "\ud800", b'["\xed\xa0\x80"]', 1, None, memoryview(b"[1, 2]")[::2],
        b"[1,2,]", b'{"a":1,}', b"[,1]", b"[" * 1025 + b"]" * 1025, b"[" * 1025, b'"abc', b"tru", b"[tru]",
        b'"\\u12', b'"\\u12"', b'"\\ud800"', b'"\\udc00"', b'"\\ud800\\u0041"', b'"\\ud800\\uzzzz"',
        b'"\\x"', b'"a\tb"', b"NaN", b"-Infinity", b"01", b"1.", b"1.e5", b"1e+", b"1e309", b"1 2",
        b"[]\x00", b"\xef\xbb\xbf[]", b'{"a" 1}', b'{1:2}', b"[1 2]",
        b'[\n"' + b"x" * 10_000,  # unterminated long string
        "[\"\u00e9\", x]",
    ]


def cached_keys(result, into):
    """Adds the keys of every dict in result to `into` (id -> key)."""
    stack = [result]
    while stack:
        value = stack.pop()
        if isinstance(value, dict):
            for key, item in value.items():
                into[id(key)] = key
                stack.append(item)
        elif isinstance(value, list):
            stack.extend(value)


def loads_pass(docs):
    def one_pass():
        for doc in docs:
            try:
                quibex.loads(doc)
            except quibex.JSONDecodeError:
                pass
        return len(docs)
    return one_pass


def watched_for_loads(docs):
    """The inputs, the singletons, and the cached key strings that stay in
    the cache from one pass to the next (a key whose slot another key of the
    set takes is rebuilt every pass and is watched through memory instead)."""
    first, second = {}, {}
    for into in (first, second):
        for doc in docs:
            try:
                cached_keys(quibex.loads(doc), into)
            except quibex.JSONDecodeError:
                pass
    keys = [(f"key {k[:20]!r}", k) for i, k in first.items() if i in second]
    return [(f"doc {i}", d) for i, d in enumerate(docs)] + keys + [
        ("None", None), ("True", True), ("False", False), ("empty str", ""), ("0", 0), ("1", 1)]


def test_loads_documents(leakcheck):
    docs = small_documents()
    for doc in docs:
        quibex.loads(doc)
    leakcheck("loads documents", loads_pass(docs), watched_for_loads(docs))


def test_loads_errors(leakcheck):
    docs = error_documents()
    for doc in docs:
        with pytest.raises(quibex.JSONDecodeError):
            quibex.loads(doc)
    leakcheck("loads errors", loads_pass(docs), watched_for_loads(docs))


@pytest.mark.skipif(not CORPUS_DIR.is_dir(), reason="no corpus")
def test_loads_and_dumps_corpus(leakcheck):
    # The corpora under 1 MB: the larger ones add time, not paths.
    docs = [d for d in (corpus(p.name[: -len(".json.xz")]) for p in sorted(CORPUS_DIR.glob("*.json.xz")))
            if len(d) < 1_000_000]
    values = [json.loads(d) for d in docs]

    def one_pass():
        for doc, value in zip(docs, values):
            quibex.loads(doc)
            quibex.dumps(value)
            quibex.dumps(value, option=INDENT | quibex.OPT_SORT_KEYS)
        return 3 * len(docs)

    watched = watched_for_loads(docs)
    leakcheck("corpus loads and dumps", one_pass, watched, scale=20)


# --- Allocation failures -------------------------------------------------------------

def test_allocation_failures(leakcheck):
    """Fails each allocation of a call in turn, up to the first call that
    succeeds: every partial result and buffer is released on the way out."""
    _testcapi = pytest.importorskip("_testcapi")
    value = {"list": [1, 2.5, "s" * 3000, {"d": [None]}], "tuple": (Point(1, 2),), "k" * 70: Color.PAIR,
             "when": datetime.datetime(2024, 1, 1, tzinfo=Offset(1)), "u": uuid.UUID(int=3),
             "extra": [Unsupported()]}
    doc = json.dumps([{"id": i, "name": f"n{i}", "tags": ["x" * 70, 1.5, 2**40], "long key " * 10: None}
                      for i in range(5)]).encode()
    calls = [
        lambda: quibex.dumps(value, default_to_shared),
        lambda: quibex.dumps(value, default_to_shared, option=INDENT | quibex.OPT_APPEND_NEWLINE),
        lambda: quibex.dumps(value, default_to_shared, option=quibex.OPT_SORT_KEYS),
        lambda: quibex.dumps({1: value, "k": 2, uuid.UUID(int=3): 3}, default_to_shared,
                             option=quibex.OPT_NON_STR_KEYS | quibex.OPT_SORT_KEYS),
        lambda: quibex.dumps([quibex.Fragment(b"[1]"), object()]),
        lambda: quibex.loads(doc),
        lambda: quibex.loads(b"[1,2,"),
    ]

    def one_pass():
        count = 0
        for call in calls:
            for start in range(1, 10_000):
                _testcapi.set_nomemory(start, start + 1)
                try:
                    call()
                    break
                except (MemoryError, quibex.JSONEncodeError, quibex.JSONDecodeError):
                    pass
                finally:
                    _testcapi.remove_mem_hooks()
                    count += 1
        return count

    leakcheck("allocation failures", one_pass, reachable(value) + [("doc", doc)],
              scale=20)

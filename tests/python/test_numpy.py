"""numpy arrays and scalars under OPT_SERIALIZE_NUMPY, datetime64 included."""
import datetime
import json
import subprocess
import sys
import textwrap
import tracemalloc

import pytest
from hypothesis import given, settings, strategies as st

import quibex

np = pytest.importorskip("numpy")

NUMPY = quibex.OPT_SERIALIZE_NUMPY
INDENT = quibex.OPT_INDENT_2


def dumps(obj, option=0, **kw):
    return quibex.dumps(obj, option=NUMPY | option, **kw)


def encode_error(obj, option=0, **kw):
    with pytest.raises(quibex.JSONEncodeError) as info:
        dumps(obj, option, **kw)
    return str(info.value)


# --- arrays -------------------------------------------------------------------

ARRAYS = [
    ("int64", np.array([1, -2, 3]), b"[1,-2,3]"),
    ("int32-2d", np.array([[1, 2], [3, 4]], dtype=np.int32), b"[[1,2],[3,4]]"),
    ("empty", np.zeros(0), b"[]"),
    ("empty-inner", np.zeros((2, 0)), b"[[],[]]"),
    ("empty-outer", np.zeros((0, 3)), b"[]"),
    ("empty-middle", np.zeros((3, 0, 4)), b"[[],[],[]]"),
    ("empty-last-of-3", np.zeros((2, 1, 0), dtype=np.int8), b"[[[]],[[]]]"),
    ("float64-nonfinite", np.array([1.5, np.nan, np.inf, -np.inf]), b"[1.5,null,null,null]"),
    ("float32", np.array([0.1], dtype=np.float32), b"[0.1]"),
    ("float16", np.array([0.1], dtype=np.float16), b"[0.099975586]"),
    ("float16-nonfinite", np.array([np.nan, np.inf], dtype=np.float16), b"[null,null]"),
    ("bool", np.array([True, False]), b"[true,false]"),
    ("int8-limits", np.array([-128, 127], dtype=np.int8), b"[-128,127]"),
    ("int16-limits", np.array([-32768, 32767], dtype=np.int16), b"[-32768,32767]"),
    ("int32-limits", np.array([-(2**31), 2**31 - 1], dtype=np.int32), b"[-2147483648,2147483647]"),
    ("int64-min", np.array([-(2**63)]), b"[-9223372036854775808]"),
    ("uint8-max", np.array([0, 255], dtype=np.uint8), b"[0,255]"),
    ("uint16-max", np.array([65535], dtype=np.uint16), b"[65535]"),
    ("uint32-max", np.array([2**32 - 1], dtype=np.uint32), b"[4294967295]"),
    ("uint64-max", np.array([2**64 - 1], dtype=np.uint64), b"[18446744073709551615]"),
    ("datetime64-s", np.array([0], dtype="M8[s]"), b'["1970-01-01T00:00:00"]'),
    ("datetime64-2d", np.array([[0, 1], [2, 3]], dtype="M8[D]"),
     b'[["1970-01-01T00:00:00","1970-01-02T00:00:00"],["1970-01-03T00:00:00","1970-01-04T00:00:00"]]'),
]


@pytest.mark.parametrize("array, want", [a[1:] for a in ARRAYS], ids=[a[0] for a in ARRAYS])
def test_array_output(array, want):
    assert dumps(array) == want


def test_numpy_integers_ignore_strict_integer():
    assert dumps(np.array([2**53 + 1]), quibex.OPT_STRICT_INTEGER) == b"[9007199254740993]"
    assert dumps(np.int64(2**53 + 1), quibex.OPT_STRICT_INTEGER) == b"9007199254740993"
    assert dumps(np.uint64(2**64 - 1), quibex.OPT_STRICT_INTEGER) == b"18446744073709551615"


def test_indented_array_matches_nested_lists():
    a = np.array([[1, 2], [3, 4]], dtype=np.int32)
    assert dumps(a, INDENT) == b"[\n  [\n    1,\n    2\n  ],\n  [\n    3,\n    4\n  ]\n]"
    # Inside containers the array continues their indentation.
    doc = {"a": [a, np.zeros((2, 0))], "b": np.zeros(0), "c": np.array([True])}
    plain = {"a": [a.tolist(), [[], []]], "b": [], "c": [True]}
    assert dumps(doc, INDENT) == quibex.dumps(plain, option=INDENT)
    assert dumps(doc) == quibex.dumps(plain)


def test_bool_items_of_any_non_zero_byte_are_true():
    raw = np.array([0, 1, 2, 255], dtype=np.uint8).view(np.bool_)
    assert dumps(raw) == b"[false,true,true,true]" == quibex.dumps(raw.tolist())


def test_contiguous_views_use_their_own_data():
    a = np.arange(12, dtype=np.int64).reshape(4, 3)
    assert dumps(a[1:3]) == b"[[3,4,5],[6,7,8]]"
    assert dumps(a[2]) == b"[6,7,8]"
    assert dumps(np.arange(10)[7:]) == b"[7,8,9]"
    # A view whose length-1 dimension has a stride of its own is still C-contiguous.
    row = a[::2][1:]
    assert row.flags.c_contiguous and row.strides[0] != 24 and dumps(row) == b"[[6,7,8]]"
    # Misaligned items are read correctly.
    raw = np.zeros(17, dtype=np.uint8)
    odd = raw[1:].view(np.int64)
    odd[:] = [-5, 2**62]
    assert dumps(odd) == b"[-5,4611686018427387904]"


def test_long_rows_and_many_dimensions():
    a = np.arange(-100000, 100000, dtype=np.int64)
    assert dumps(a) == quibex.dumps(a.tolist())
    deep = np.arange(6, dtype=np.int16).reshape((1,) * 30 + (2, 3))
    assert dumps(deep) == quibex.dumps(deep.tolist())
    assert dumps(deep, INDENT) == quibex.dumps(deep.tolist(), option=INDENT)
    assert dumps(np.zeros((1,) * 63 + (0,))) == b"[" * 63 + b"[]" + b"]" * 63
    assert dumps(np.zeros((1,) * 64, dtype=np.uint8)) == b"[" * 64 + b"0" + b"]" * 64
    wide = np.ones((2,) * 16, dtype=np.bool_)
    assert dumps(wide) == quibex.dumps(wide.tolist())


REFUSED_DATATYPES = [
    np.array([1 + 2j]),
    np.array([1], dtype="m8[s]"),
    np.array([b"ab"]),
    np.array(["ab"]),
    np.array([object()], dtype=object),
    np.zeros(2, dtype="V4"),
    np.zeros(2, dtype=[("a", "i4")]),  # C-contiguous, though numpy's interface gives it no flags
    np.zeros((2, 2), dtype=[("a", "i4")], order="F"),
    np.array(5),  # zero-dimensional
]
if np.dtype(np.longdouble).itemsize not in (2, 4, 8):
    REFUSED_DATATYPES.append(np.array([1.5], dtype=np.longdouble))


@pytest.mark.parametrize("array", REFUSED_DATATYPES, ids=lambda a: f"{a.dtype}-{a.ndim}d")
def test_unsupported_datatype_goes_to_default(array):
    assert encode_error(array) == "unsupported datatype in numpy array"
    seen = []
    assert dumps(array, default=lambda o: seen.append(o) or "d") == b'"d"'
    assert len(seen) == 1 and seen[0] is array


NOT_CONTIGUOUS = [
    np.zeros((2, 2), order="F"),
    np.arange(10)[::2],
    np.arange(12).reshape(3, 4)[:, 1:3],
    np.zeros((2, 2), dtype=">i4", order="F"),  # also byte-swapped: contiguity is checked first
    np.zeros((2, 2), dtype=complex, order="F"),  # also unsupported: contiguity is checked first
]


@pytest.mark.parametrize("array", NOT_CONTIGUOUS, ids=["fortran", "step", "columns", "swapped", "complex"])
def test_not_contiguous_goes_to_default(array):
    assert encode_error(array) == "numpy array is not C contiguous; use ndarray.tolist() in default"
    seen = []
    assert dumps([array], default=lambda o: seen.append(o) or "d") == b'["d"]'
    assert len(seen) == 1 and seen[0] is array


def test_byte_swapped_is_an_error_even_with_default():
    swapped = np.array([1, 2], dtype=np.dtype(np.int32).newbyteorder())
    for kw in ({}, {"default": lambda o: o.tolist()}):
        assert encode_error(swapped, **kw) == "numpy array is not native-endianness"
    dt = np.array([0], dtype=np.dtype("M8[s]").newbyteorder())
    assert encode_error(dt) == "numpy array is not native-endianness"


def test_subclasses_and_disabled_option_go_to_default():
    class Sub(np.ndarray):
        pass

    class F64(np.float64):
        pass

    sub = np.arange(3).view(Sub)
    for obj, name in [(sub, "Sub"), (F64(1.5), "F64"), (np.ma.array([1]), "MaskedArray")]:
        assert encode_error(obj) == f"Type is not JSON serializable: {name}"
        assert dumps(obj, default=lambda o: "d") == b'"d"'
    for obj in [np.arange(3), np.float64(1.5), np.int64(1), np.bool_(True), np.datetime64(0, "s")]:
        with pytest.raises(quibex.JSONEncodeError, match="Type is not JSON serializable: numpy"):
            quibex.dumps(obj)
        assert quibex.dumps(obj, default=lambda o: "d") == b'"d"'


def test_other_numpy_scalar_types_are_unsupported():
    other = [np.complex128(1), np.timedelta64(1, "s"), np.longdouble(1)]
    if np.longlong is not np.int64:
        other.append(np.longlong(1))
    for obj in other:
        assert encode_error(obj) == f"Type is not JSON serializable: {type(obj).__module__}.{type(obj).__name__}"


# --- differential: arrays against their equal nested lists --------------------

INT_DTYPES = [np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64]


def random_shape(rng):
    nd = int(rng.integers(1, 5))
    return tuple(int(x) for x in rng.integers(0, 5, size=nd))


def random_values(rng, dtype, shape):
    dtype = np.dtype(dtype)
    if dtype.kind == "b":
        return rng.integers(0, 2, size=shape).astype(dtype)
    if dtype.kind in "iu":
        info = np.iinfo(dtype)
        a = rng.integers(info.min, info.max, size=shape, dtype=dtype, endpoint=True)
        flat = a.reshape(-1)
        flat[: min(2, flat.size)] = [info.min, info.max][: min(2, flat.size)]
        return a
    bits = rng.integers(0, 2 ** (8 * dtype.itemsize), size=shape, dtype=np.uint64)
    return bits.astype({2: np.uint16, 4: np.uint32, 8: np.uint64}[dtype.itemsize]).view(dtype)


def stdlib_dumps(obj, option):
    if option & INDENT:
        return json.dumps(obj, indent=2).encode()
    return json.dumps(obj, separators=(",", ":")).encode()


@pytest.mark.parametrize("dtype", [np.bool_, *INT_DTYPES, np.float64])
def test_exact_types_match_tolist(dtype):
    # Booleans and integers have one text: the stdlib writes the same nested lists.
    # Floats are compared with quibex's own float writer.
    reference = stdlib_dumps if dtype is not np.float64 else lambda o, option: quibex.dumps(o, option=option)
    rng = np.random.default_rng(1234)
    for _ in range(60):
        a = random_values(rng, dtype, random_shape(rng))
        for option in (0, INDENT):
            assert dumps(a, option) == reference(a.tolist(), option)


@pytest.mark.parametrize("dtype", [np.bool_, *INT_DTYPES, np.float64, np.float32, np.float16])
def test_rows_of_every_length_around_a_write_run(dtype):
    # Compact rows are written in runs of items under one reservation.
    rng = np.random.default_rng(7)
    for length in (1, 2, 63, 64, 65, 127, 128, 129, 1000):
        a = random_values(rng, dtype, (3, length))
        if a.dtype.kind == "f":
            a.reshape(-1)[::7] = np.nan
        nested = [[dumps(item) for item in row] for row in a]
        assert dumps(a) == b"[" + b",".join(b"[" + b",".join(row) + b"]" for row in nested) + b"]"
        assert dumps(a, INDENT).replace(b"\n", b"").replace(b" ", b"") == dumps(a)


@pytest.mark.parametrize("value, text", [
    (np.float64(-2.2250738585072014e-308), b"-2.2250738585072014e-308"),  # the longest double text
    (np.int64(-(2**63)), b"-9223372036854775808"),
])
def test_runs_of_the_longest_item_texts(value, text):
    # A full run of the longest texts uses its whole reservation; the checked
    # builds fail a run that counts past it.
    for length in (64, 65, 128):
        assert dumps(np.full(length, value)) == b"[" + b",".join([text] * length) + b"]"


@pytest.mark.parametrize("dtype", [np.float32, np.float16])
def test_narrow_floats_read_back_to_the_same_values(dtype):
    rng = np.random.default_rng(99)
    for _ in range(60):
        a = random_values(rng, dtype, random_shape(rng))
        text = dumps(a)
        assert dumps(a, INDENT).replace(b"\n", b"").replace(b" ", b"") == text
        parsed = json.loads(text)
        assert np.shape(parsed) == a.shape if a.size else np.array(parsed).size == 0
        flat_parsed = np.array(parsed, dtype=object).reshape(-1) if a.size else []
        for got, item in zip(flat_parsed, a.reshape(-1)):
            if not np.isfinite(item):
                assert got is None
            else:
                back = dtype(got)
                assert back == item and np.signbit(back) == np.signbit(item), (got, item)


# --- scalars ------------------------------------------------------------------

SCALARS = [
    ("float64", np.float64(1.5), b"1.5"),
    ("float64-nan", np.float64("nan"), b"null"),
    ("float64-inf", np.float64("-inf"), b"null"),
    ("float32", np.float32(0.1), b"0.1"),
    ("float32-inf", np.float32("inf"), b"null"),
    ("float16", np.float16(0.1), b"0.099975586"),
    ("float16-nan", np.float16("nan"), b"null"),
    ("int8", np.int8(-128), b"-128"),
    ("int16", np.int16(-32768), b"-32768"),
    ("int32", np.int32(-(2**31)), b"-2147483648"),
    ("int64", np.int64(-(2**63)), b"-9223372036854775808"),
    ("uint8", np.uint8(255), b"255"),
    ("uint16", np.uint16(65535), b"65535"),
    ("uint32", np.uint32(2**32 - 1), b"4294967295"),
    ("uint64", np.uint64(2**64 - 1), b"18446744073709551615"),
    ("bool-true", np.bool_(True), b"true"),
    ("bool-false", np.bool_(False), b"false"),
    ("datetime64", np.datetime64(0, "s"), b'"1970-01-01T00:00:00"'),
]


@pytest.mark.parametrize("scalar, want", [s[1:] for s in SCALARS], ids=[s[0] for s in SCALARS])
def test_scalar_output(scalar, want):
    assert dumps(scalar) == want
    assert dumps([scalar, {"k": scalar}, (scalar,)]) == b"[%s,{\"k\":%s},[%s]]" % (want, want, want)
    assert dumps([scalar], INDENT) == b"[\n  %s\n]" % want


# --- datetime64 ---------------------------------------------------------------

NS_MIN = np.iinfo(np.int64).min

DATETIMES = [
    ("s", 0, 0, "1970-01-01T00:00:00"),
    ("s", -1, 0, "1969-12-31T23:59:59"),
    ("ns", -1, 0, "1969-12-31T23:59:59.999999"),
    ("ns", 1500, 0, "1970-01-01T00:00:00.000001"),
    ("ns", 999, 0, "1970-01-01T00:00:00"),
    ("ms", 5, 0, "1970-01-01T00:00:00.005000"),
    ("us", 123456, quibex.OPT_OMIT_MICROSECONDS, "1970-01-01T00:00:00"),
    ("us", 123456, 0, "1970-01-01T00:00:00.123456"),
    ("s", 0, quibex.OPT_NAIVE_UTC, "1970-01-01T00:00:00+00:00"),
    ("s", 0, quibex.OPT_NAIVE_UTC | quibex.OPT_UTC_Z, "1970-01-01T00:00:00Z"),
    ("s", 0, quibex.OPT_UTC_Z, "1970-01-01T00:00:00"),
    ("W", 1, 0, "1970-01-08T00:00:00"),
    ("W", -1, 0, "1969-12-25T00:00:00"),
    ("M", -1, 0, "1969-12-01T00:00:00"),
    ("M", -13, 0, "1968-12-01T00:00:00"),
    ("M", 96359, 0, "9999-12-01T00:00:00"),
    ("Y", -1970, 0, "0000-01-01T00:00:00"),
    ("D", 2932895, 0, "9999-12-30T00:00:00"),
    ("h", -1, 0, "1969-12-31T23:00:00"),
    ("m", 1, 0, "1970-01-01T00:01:00"),
    ("s", 253402207200, 0, "9999-12-30T22:00:00"),
    ("s", -62167219200, 0, "0000-01-01T00:00:00"),
    ("ns", NS_MIN, 0, "1677-09-21T00:12:43.145224"),
]

DATETIME_ERRORS = [
    ("M", 96360, "unrepresentable numpy.datetime64: 96360 months"),
    ("Y", 8030, "unrepresentable numpy.datetime64: 8030 years"),
    ("D", 2932896, "unrepresentable numpy.datetime64: 2932896 days"),
    ("s", 253402207201, "unrepresentable numpy.datetime64: 253402207201 seconds"),
    ("s", -62167219201, "unrepresentable numpy.datetime64: -62167219201 seconds"),
    ("D", NS_MIN, "unrepresentable numpy.datetime64: -9223372036854775808 days"),
    ("us", NS_MIN, "unrepresentable numpy.datetime64: -9223372036854775808 microseconds"),
    ("ps", 0, "unsupported numpy.datetime64 unit: picoseconds"),
    ("fs", 1, "unsupported numpy.datetime64 unit: femtoseconds"),
    ("as", 1, "unsupported numpy.datetime64 unit: attoseconds"),
    ("10ns", 1, "unsupported numpy.datetime64 unit: 10ns"),
    ("2D", 1, "unsupported numpy.datetime64 unit: 2D"),
    ("25s", 1, "unsupported numpy.datetime64 unit: 25s"),
    ("100us", 1, "unsupported numpy.datetime64 unit: 100us"),
]


def as_scalar_and_array(unit, count):
    scalar = np.datetime64(int(count), unit)
    return scalar, np.array([count], dtype=f"M8[{unit}]")


@pytest.mark.parametrize("unit, count, option, want", DATETIMES)
def test_datetime64_text(unit, count, option, want):
    scalar, array = as_scalar_and_array(unit, count)
    assert dumps(scalar, option) == b'"%s"' % want.encode()
    assert dumps(array, option) == b'["%s"]' % want.encode()


@pytest.mark.parametrize("unit, count, message", DATETIME_ERRORS)
def test_datetime64_errors(unit, count, message):
    scalar, array = as_scalar_and_array(unit, count)
    assert encode_error(scalar) == message
    assert encode_error(array) == message
    # Refused values never go to default.
    assert encode_error(array, default=str) == message


def test_datetime64_generic_unit_is_nat():
    message = "unsupported numpy.datetime64 unit: NaT"
    generic = np.zeros(1, dtype="M8")
    assert generic.dtype.descr[0][1] == "<M8"
    assert encode_error(generic) == message
    assert encode_error(generic[0]) == message


def test_datetime64_failures_are_checked_per_item():
    # No items: the unit is never checked.
    for unit in ("ps", "10ns", "generic"):
        dtype = "M8" if unit == "generic" else f"M8[{unit}]"
        assert dumps(np.zeros(0, dtype=dtype)) == b"[]"
        assert dumps(np.zeros((2, 0), dtype=dtype)) == b"[[],[]]"
        assert dumps(np.zeros((0, 3), dtype=dtype)) == b"[]"
    # A bad value in the second row fails the whole call.
    a = np.array([[0, 1], [2, 8030]], dtype="M8[Y]")
    assert encode_error([a, "after"]) == "unrepresentable numpy.datetime64: 8030 years"
    assert encode_error(a, INDENT) == "unrepresentable numpy.datetime64: 8030 years"


EPOCH = datetime.datetime(1970, 1, 1)
# Each unit as (seconds, per second): the unit is seconds / per_second seconds.
PY_UNITS = {"W": (604800, 1), "D": (86400, 1), "h": (3600, 1), "m": (60, 1), "s": (1, 1),
            "ms": (1, 10**3), "us": (1, 10**6), "ns": (1, 10**9)}


@settings(max_examples=300, deadline=None)
@given(st.sampled_from(sorted(PY_UNITS)), st.data())
def test_datetime64_matches_python_datetime(unit, data):
    seconds, per_second = PY_UNITS[unit]
    if unit == "ns":
        count = data.draw(st.integers(NS_MIN, 2**63 - 1))
    else:
        # Python's datetime starts at 0001-01-01, the writer's range ends at 9999-12-30T22:00.
        lo = -(62135596800 * per_second // seconds)
        hi = 253402207200 * per_second // seconds
        count = data.draw(st.integers(lo, hi))
    want = EPOCH + datetime.timedelta(microseconds=count * seconds * 10**6 // per_second)
    scalar, array = as_scalar_and_array(unit, count)
    assert dumps(array) == b'["%s"]' % want.isoformat().encode()
    assert dumps(scalar, quibex.OPT_OMIT_MICROSECONDS) == b'"%s"' % want.replace(microsecond=0).isoformat().encode()


# --- references and memory ------------------------------------------------------


def test_reference_counts_and_memory_are_stable():
    objects = [
        np.arange(6).reshape(2, 3),
        np.array([0, 1], dtype="M8[ns]"),
        np.array([1], dtype="M8[10ns]"),
        np.array([8030], dtype="M8[Y]"),
        np.array([1j]),
        np.zeros((2, 2), order="F"),
        np.int64(3),
        np.datetime64(5, "ps"),
        np.datetime64(1, "D"),
    ]

    def default(o):
        return o.tolist()

    def run():
        for obj in objects:
            for kw in ({}, {"default": default}):
                try:
                    dumps([obj], **kw)
                except quibex.JSONEncodeError:
                    pass

    run()
    before = [sys.getrefcount(o) for o in objects]
    dtypes = [sys.getrefcount(o.dtype) for o in objects]
    tracemalloc.start()
    run()
    first, _ = tracemalloc.get_traced_memory()
    for _ in range(200):
        run()
    last, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    assert [sys.getrefcount(o) for o in objects] == before
    assert [sys.getrefcount(o.dtype) for o in objects] == dtypes
    assert last - first < 20000


# --- without numpy ----------------------------------------------------------------

BLOCKED = """
import sys
class Blocker:
    def find_spec(self, name, path=None, target=None):
        if name == "numpy" or name.startswith("numpy."):
            raise ImportError("numpy is blocked")
blocker = Blocker()
sys.meta_path.insert(0, blocker)
"""

FAKE_NUMPY = """
import os, sys, tempfile
fake = tempfile.mkdtemp()
with open(os.path.join(fake, "numpy.py"), "w") as f:
    f.write("raise RuntimeError('broken numpy')")
sys.path.insert(0, fake)
"""

WITHOUT_NUMPY_CHECKS = """
import quibex
N = quibex.OPT_SERIALIZE_NUMPY
assert "numpy" not in sys.modules
class Thing:
    pass
class Text(str):
    pass
doc = {"a": [1, 2.5, None, True, "x", (1,)], "s": Text("t")}
assert quibex.dumps(doc, option=N) == quibex.dumps(doc)
assert quibex.dumps(Thing(), default=lambda o: "t", option=N) == b'"t"'
try:
    quibex.dumps(Thing(), option=N)
except quibex.JSONEncodeError as e:
    assert str(e) == "Type is not JSON serializable: Thing", e
    assert e.__cause__ is None, e.__cause__
else:
    raise AssertionError
assert sys.exc_info() == (None, None, None)
# numpy made importable later stays unknown for the rest of the process.
sys.meta_path[:] = [f for f in sys.meta_path if type(f).__name__ != "Blocker"]
sys.path[:] = [p for p in sys.path if p != globals().get("fake")]
sys.modules.pop("numpy", None)
import numpy
try:
    quibex.dumps(numpy.arange(3), option=N)
except quibex.JSONEncodeError as e:
    assert str(e) == "Type is not JSON serializable: numpy.ndarray", e
else:
    raise AssertionError
assert quibex.dumps(numpy.float64(1.5), default=float, option=N) == quibex.dumps(1.5)
print("ok")
"""


@pytest.mark.parametrize("setup", [BLOCKED, FAKE_NUMPY], ids=["import-blocked", "import-raises"])
def test_without_numpy(setup):
    code = setup + WITHOUT_NUMPY_CHECKS
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0 and proc.stdout.strip() == "ok", proc.stderr


def test_numpy_is_imported_lazily_and_once_across_threads():
    code = textwrap.dedent("""
        import sys, threading, quibex
        N = quibex.OPT_SERIALIZE_NUMPY
        assert quibex.dumps([1, "a", {"b": None}], option=N) == b'[1,"a",{"b":null}]'
        assert "numpy" not in sys.modules
        results = []
        barrier = threading.Barrier(8)
        def work():
            barrier.wait()
            results.append(quibex.dumps(object(), default=lambda o: 1, option=N))
        threads = [threading.Thread(target=work) for _ in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        assert results == [b"1"] * 8 and "numpy" in sys.modules
        import numpy
        assert quibex.dumps(numpy.arange(3), option=N) == b"[0,1,2]"
        print("ok")
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0 and proc.stdout.strip() == "ok", proc.stderr

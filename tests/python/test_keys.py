"""Dict keys: OPT_SORT_KEYS and OPT_NON_STR_KEYS."""
import dataclasses
import datetime
import enum
import json
import random
import uuid

import pytest
from hypothesis import given, settings, strategies as st

import quibex
from conftest import Color, IntSub, Number, Shade, StrSub

SORT = quibex.OPT_SORT_KEYS
NON_STR = quibex.OPT_NON_STR_KEYS
INDENT = quibex.OPT_INDENT_2
INVALID_KEY = "Dict key must a type serializable with OPT_NON_STR_KEYS"


def stdlib(obj, sort_keys=True, indent=None):
    separators = (",", ":") if indent is None else (",", ": ")
    return json.dumps(obj, sort_keys=sort_keys, indent=indent, separators=separators,
                      ensure_ascii=False).encode()


# --- sorted keys --------------------------------------------------------------

@pytest.mark.parametrize("keys, expected", [
    (["b", "a", "c"], ["a", "b", "c"]),
    (["b", "aa", "a", ""], ["", "a", "aa", "b"]),
    (["a", "B"], ["B", "a"]),
    (["é", "z"], ["z", "é"]),
    (["\U00010000", "\uffff"], ["\uffff", "\U00010000"]),   # code points, not UTF-16 units
    (["\x00", "\x00\x00", "\x01"], ["\x00", "\x00\x00", "\x01"]),
], ids=repr)
def test_key_order(keys, expected):
    d = {k: i for i, k in enumerate(keys)}
    out = quibex.dumps(d, option=SORT)
    assert list(json.loads(out)) == expected
    assert out == stdlib(d)


@pytest.mark.parametrize("n", [2, 20, 21, 33, 64, 1000])
@pytest.mark.parametrize("order", ["ascending", "descending", "random", "organ"])
def test_sorted_sizes_and_orders(n, order):
    keys = ["k%05d" % i for i in range(n)]
    if order == "descending":
        keys.reverse()
    elif order == "random":
        random.Random(n).shuffle(keys)
    elif order == "organ":
        keys = keys[::2] + keys[1::2][::-1]
    d = {k: [i] for i, k in enumerate(keys)}
    assert quibex.dumps(d, option=SORT) == stdlib(d)
    assert quibex.dumps(d, option=SORT | INDENT) == stdlib(d, indent=2)


def test_sorted_nested_and_indented():
    value = [{"b": {"d": 1, "c": 2}, "a": [{"z": None, "y": {}}]}, {}]
    assert quibex.dumps(value, option=SORT) == stdlib(value)
    assert quibex.dumps(value, option=SORT | INDENT) == stdlib(value, indent=2)


class DictSub(dict):
    pass


def test_sorted_dict_subclass_and_escaped_keys():
    value = DictSub({"b\n": 1, "a\"": 2, "\x1f": 3})
    assert quibex.dumps(value, option=SORT) == b'{"\\u001f":3,"a\\"":2,"b\\n":1}'


@pytest.mark.parametrize("value, message", [
    ({"a": 1, 2: 3}, "Dict key must be str"),
    ({"a": 1, type("S", (str,), {})("b"): 3}, "Dict key must be str"),
    ({"a": 1, "\ud800": 3}, "str is not valid UTF-8: surrogates not allowed"),
], ids=["int", "str-subclass", "surrogate"])
def test_sorted_key_errors(value, message, refcount):
    calls = []
    value["c"] = object()
    with pytest.raises(quibex.JSONEncodeError) as e:
        quibex.dumps(value, default=calls.append, option=SORT)
    assert e.value.args == (message,)
    assert calls == []   # no value is written before every key is checked


scalars = st.none() | st.booleans() | st.integers(-2**63, 2**63 - 1) | st.text(max_size=8)


@settings(max_examples=150, deadline=None)
@given(st.dictionaries(st.text(max_size=12), scalars | st.dictionaries(st.text(max_size=4), scalars, max_size=5),
                       max_size=40))
def test_sorted_matches_stdlib(value):
    # str comparison in Python is code-point order, the order of UTF-8 bytes.
    assert quibex.dumps(value, option=SORT) == stdlib(value)


class Record:
    """An unsupported value whose default replaces and removes dict members."""

    def __init__(self, target):
        self.target = target


def runtime_str(text):
    """A str built at run time, so that the dict may hold its only reference."""
    return "".join(list(text))


def test_sorted_dict_changed_by_default(refcount):
    # default removes and replaces members while the sorted members are
    # written: the dict's size changed, and nothing is freed or kept twice.
    d = {runtime_str("ccc"): [3], runtime_str("a"): None, runtime_str("bbb"): runtime_str("x" * 50)}
    d["a"] = Record(d)
    removed_value = d["ccc"]
    before = refcount(removed_value)

    def default(o):
        o.target.clear()
        o.target.update({"zz": 1, "bbb": "other"})
        return "record"

    with pytest.raises(quibex.JSONEncodeError, match="^dictionary changed size during iteration$"):
        quibex.dumps(d, default=default, option=SORT)
    assert d == {"zz": 1, "bbb": "other"}
    assert refcount(removed_value) == before - 1   # only the dict's reference is gone


# --- non-string keys ----------------------------------------------------------

@dataclasses.dataclass(frozen=True)
class Frozen:
    x: int


U = uuid.UUID("12345678-1234-5678-1234-567812345678")


@pytest.mark.parametrize("key, text", [
    ("s", "s"),
    ("\"\n", "\\\"\\n"),
    ("", ""),
    (0, "0"),
    (-1, "-1"),
    (2**63 - 1, "9223372036854775807"),
    (-2**63, "-9223372036854775808"),
    (2**63, "9223372036854775808"),
    (2**64 - 1, "18446744073709551615"),
    (2**30, "1073741824"),
    (-(2**60), "-1152921504606846976"),
    (True, "true"),
    (False, "false"),
    (None, "null"),
    (1.5, "1.5"),
    (float("nan"), "null"),
    (float("inf"), "null"),
    (float("-inf"), "null"),
    (1e300, None),
    (-0.0, None),
    (datetime.datetime(2024, 1, 2, 3, 4, 5, 6), "2024-01-02T03:04:05.000006"),
    (datetime.datetime(2024, 1, 2, tzinfo=datetime.timezone.utc), "2024-01-02T00:00:00+00:00"),
    (datetime.date(5, 1, 1), "0005-01-01"),
    (datetime.time(1, 2, 3), "01:02:03"),
    (U, str(U)),
    (Color.THREE, "3"),
    (Color.DAY, "2024-01-02"),
    (Shade.DARK, "red"),
    (Number.THREE, "3"),
    (StrSub("sub"), "sub"),
    (IntSub(-7), "-7"),
], ids=repr)
@pytest.mark.parametrize("option", [0, SORT])
def test_key_conversion(key, text, option):
    if text is None:   # a float key is written as that float value would be
        text = quibex.dumps(key).decode()
    assert quibex.dumps({key: 1}, option=NON_STR | option) == b'{"%s":1}' % text.encode()
    if type(key) is not str:
        with pytest.raises(quibex.JSONEncodeError, match="^Dict key must be str$"):
            quibex.dumps({key: 1}, option=option)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.integers(-2**63, 2**64 - 1) | st.integers(-2**70, 2**70), max_size=20))
def test_int_keys_match_str(ints):
    d = {i: 0 for i in ints}
    if all(-2**63 <= i < 2**64 for i in d):
        assert quibex.dumps(d, option=NON_STR) == stdlib({str(i): 0 for i in d}, sort_keys=False)
    else:
        with pytest.raises(quibex.JSONEncodeError, match="^Dict integer key must be within 64-bit range$"):
            quibex.dumps(d, option=NON_STR)


def test_mixed_key_texts_in_one_dict():
    # Written texts of many lengths packed next to borrowed str texts.
    special = {U: str(U), datetime.date(2024, 1, 1): "2024-01-01", 0.1: "0.1", None: "null", True: "true",
               datetime.datetime(2024, 1, 1, 1, 1, 1, 1): "2024-01-01T01:01:01.000001", Color.THREE: "3"}
    keys = [i * 7919 ** (i % 5) + 2 for i in range(200)] + [str(i) * (i % 9) for i in range(200)]
    d = dict.fromkeys(keys + list(special), 0)
    expected = [special[k] if k in special else str(k) for k in d]
    for option in (NON_STR, NON_STR | SORT):
        out = json.loads(quibex.dumps(d, option=option), object_pairs_hook=list)
        got = [k for k, _ in out]
        assert got == (sorted(expected, key=lambda t: t.encode()) if option & SORT else expected)


def test_str_enum_key():
    Letter = enum.StrEnum("Letter", {"A": "a\tb"})
    assert quibex.dumps({Letter.A: 1}, option=NON_STR) == b'{"a\\tb":1}'


@pytest.mark.parametrize("option, expected", [
    (0, "2024-01-02T03:04:05.000006"),
    (quibex.OPT_PASSTHROUGH_DATETIME, "2024-01-02T03:04:05.000006"),   # passthrough never applies to keys
    (quibex.OPT_NAIVE_UTC, "2024-01-02T03:04:05.000006+00:00"),
    (quibex.OPT_NAIVE_UTC | quibex.OPT_UTC_Z, "2024-01-02T03:04:05.000006Z"),
    (quibex.OPT_OMIT_MICROSECONDS, "2024-01-02T03:04:05"),
])
def test_datetime_key_options(option, expected):
    key = datetime.datetime(2024, 1, 2, 3, 4, 5, 6)
    value = {key: key}
    out = quibex.dumps(value, option=NON_STR | option, default=lambda o: "default")
    written_value = "default" if option & quibex.OPT_PASSTHROUGH_DATETIME else expected
    assert out == ('{"%s":"%s"}' % (expected, written_value)).encode()


@pytest.mark.parametrize("key", [Number.THREE, StrSub("3"), IntSub(3)], ids=repr)
def test_passthrough_subclass_never_applies_to_keys(key):
    option = NON_STR | quibex.OPT_PASSTHROUGH_SUBCLASS
    assert quibex.dumps({key: 1}, option=option) == b'{"3":1}'


@pytest.mark.parametrize("key, message, cause", [
    (2**64, "Dict integer key must be within 64-bit range", OverflowError),
    (-2**63 - 1, "Dict integer key must be within 64-bit range", OverflowError),
    (IntSub(2**70), "Dict integer key must be within 64-bit range", OverflowError),
    (2**90 - 1, "Dict integer key must be within 64-bit range", OverflowError),
    (-(2**90), "Dict integer key must be within 64-bit range", OverflowError),
    ((1, 2), INVALID_KEY, None),
    (frozenset(), INVALID_KEY, None),
    (Frozen(1), INVALID_KEY, None),
    (quibex.Fragment(b"1"), INVALID_KEY, None),
    (object(), INVALID_KEY, None),
    (b"x", INVALID_KEY, None),
    (datetime.timedelta(1), INVALID_KEY, None),
    (datetime.time(1, tzinfo=datetime.timezone.utc), "datetime.time must not have tzinfo set", None),
    ("\ud800", "str is not valid UTF-8: surrogates not allowed", UnicodeEncodeError),
    (StrSub("\udc00"), "str is not valid UTF-8: surrogates not allowed", UnicodeEncodeError),
], ids=repr)
@pytest.mark.parametrize("option", [0, SORT])
def test_key_errors(key, message, cause, option, refcount):
    calls = []
    first, last = object(), object()
    value = {runtime_str("first"): first, key: 2, "last": last}
    before = refcount(key), refcount(first), refcount(last)
    with pytest.raises(quibex.JSONEncodeError) as e:
        quibex.dumps(value, default=calls.append, option=NON_STR | option)
    assert e.value.args == (message,)
    assert type(e.value.__cause__) is cause if cause else e.value.__cause__ is None
    assert calls == []   # default is never called for a key, nor a value before all keys are converted
    del e
    assert (refcount(key), refcount(first), refcount(last)) == before


class Subclasses:
    """Containers that are subclasses are not keys either (nor hashable, unless made so)."""

    class HList(list):
        __hash__ = object.__hash__

    class HDict(dict):
        __hash__ = object.__hash__


@pytest.mark.parametrize("key", [Subclasses.HList([1]), Subclasses.HDict()], ids=repr)
def test_container_subclass_keys(key):
    with pytest.raises(quibex.JSONEncodeError) as e:
        quibex.dumps({key: 1}, option=NON_STR)
    assert e.value.args == (INVALID_KEY,)


def test_enum_key_without_value():
    broken = object.__new__(Color)   # a member built without a value
    broken._name_ = "BROKEN"
    with pytest.raises(quibex.JSONEncodeError) as e:
        quibex.dumps({broken: 1}, option=NON_STR)
    assert e.value.args == (INVALID_KEY,)
    assert isinstance(e.value.__cause__, AttributeError)


def test_duplicate_texts_and_text_order():
    assert quibex.dumps({1: "a", "1": "b"}, option=NON_STR) == b'{"1":"a","1":"b"}'
    out = quibex.dumps({1: "a", "1": "b"}, option=NON_STR | SORT)
    assert out in (b'{"1":"a","1":"b"}', b'{"1":"b","1":"a"}')
    assert quibex.dumps({2: 1, 10: 2}, option=NON_STR | SORT) == b'{"10":2,"2":1}'
    assert quibex.dumps({None: 1, 1.5: 2, "a": 3, U: 4}, option=NON_STR | SORT) == (
        b'{"1.5":2,"12345678-1234-5678-1234-567812345678":4,"a":3,"null":1}')


def test_many_duplicate_texts_sorted():
    # Every key text repeats: an int and a str for each number.
    value = {}
    for i in range(300):
        value[i % 100 if i < 100 else str(i % 100) if i < 200 else float(i % 100) + 0.5] = i
    pairs = json.loads(quibex.dumps(value, option=NON_STR | SORT), object_pairs_hook=list)
    keys = [k for k, _ in pairs]
    assert keys == sorted(keys) and len(keys) == 300


def test_non_str_layouts():
    value = {1: {2: [3]}, "a": {}}
    assert quibex.dumps(value, option=NON_STR) == b'{"1":{"2":[3]},"a":{}}'
    assert quibex.dumps(value, option=NON_STR | INDENT) == (
        b'{\n  "1": {\n    "2": [\n      3\n    ]\n  },\n  "a": {}\n}')
    assert quibex.dumps(value, option=NON_STR | INDENT | SORT) == quibex.dumps(value, option=NON_STR | INDENT)


def test_strict_integer_does_not_apply_to_keys():
    assert quibex.dumps({2**60: 1}, option=NON_STR | quibex.OPT_STRICT_INTEGER) == b'{"1152921504606846976":1}'


def test_non_str_refcounts(refcount):
    keys = [10**15 + 1, U, Color.RED, datetime.date(2024, 1, 1), "k" * 40]
    values = [[i] for i in range(len(keys))]
    before = [refcount(o) for o in keys + values]
    d = dict(zip(keys, values))
    after_build = [refcount(o) for o in keys + values]
    for option in (NON_STR, NON_STR | SORT):
        quibex.dumps(d, option=option)
        assert [refcount(o) for o in keys + values] == after_build
    del d
    assert [refcount(o) for o in keys + values] == before


@pytest.mark.parametrize("option", [NON_STR, NON_STR | SORT])
def test_non_str_dict_changed_by_default(option, refcount):
    d = {}
    held = runtime_str("y" * 20)

    def default(o):
        d.clear()
        d.update({i: i for i in range(50)})
        return "r"

    d.update({10**20 // 10**18: object(), 2: [2], runtime_str("x"): held})
    before = refcount(held)
    with pytest.raises(quibex.JSONEncodeError, match="^dictionary changed size during iteration$"):
        quibex.dumps(d, default=default, option=option)
    assert refcount(held) == before - 1


@pytest.mark.parametrize("option", [NON_STR, NON_STR | SORT])
def test_non_str_dict_changed_by_key_conversion(option):
    # Converting an enum key reads its value, which here adds a member.
    d = {}

    class Growing(enum.Enum):
        A = 1

        @property
        def value(self):
            d["late"] = 0
            return 1

    d.update({"s": 0, Growing.A: 1, "t": 2})
    with pytest.raises(quibex.JSONEncodeError, match="^dictionary changed size during iteration$"):
        quibex.dumps(d, option=option)
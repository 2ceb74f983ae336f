"""Hostile and extreme input: nesting far past the limits, documents of
100 MB, millions of escapes, numbers of a million digits, invalid UTF-8 at
every position, NUL bytes, lone surrogates, and Python code (default,
properties, time zones) that re-enters dumps. Each gets the documented
exception or result, promptly, without crashing.
"""
import dataclasses
import datetime
import enum
import json
import sys
import threading

import pytest

import quibex
from conftest import StrSub, nest

INDENT = quibex.OPT_INDENT_2
NOT_UTF8 = "str is not valid UTF-8: surrogates not allowed"
MB = 1 << 20


def decode_error(doc):
    with pytest.raises(quibex.JSONDecodeError) as info:
        quibex.loads(doc)
    return info.value


def encode_error(*args, **kwargs):
    with pytest.raises(quibex.JSONEncodeError) as info:
        quibex.dumps(*args, **kwargs)
    return info.value


def causes(error):
    """Types of the exceptions chained below error through __cause__."""
    found = set()
    error = error.__cause__
    while error is not None:
        found.add(type(error))
        error = error.__cause__
    return found


# --- Nesting far past the limits --------------------------------------------------

@pytest.mark.parametrize("doc, pos", [
    pytest.param(b"[" * 1_000_000, 1025, id="open-arrays"),
    pytest.param(b"[" * 1_000_000 + b"]" * 1_000_000, 1025, id="closed-arrays"),
    pytest.param(b'{"a":' * 1_000_000, 1024 * 5 + 1, id="open-objects"),
    pytest.param(b'[{"a":' * 500_000, 1025 * 3 - 2, id="mixed"),
])
def test_loads_stops_at_the_first_level_past_the_limit(doc, pos):
    e = decode_error(doc)
    assert (e.msg, e.pos) == ("array and object recursion depth exceeded", pos)


@dataclasses.dataclass
class Box:
    inner: object


@pytest.mark.parametrize("kind", [lambda v: [v], lambda v: (v,), lambda v: {"k": v}, Box],
                         ids=["list", "tuple", "dict", "dataclass"])
def test_dumps_stops_at_the_first_level_past_the_limit(kind):
    deep = nest(100_000, kind)
    for option in (0, INDENT | quibex.OPT_SORT_KEYS, quibex.OPT_NON_STR_KEYS):
        assert encode_error(deep, option=option).args == ("Recursion limit reached",)


# CPython 3.14+ guard the C stack themselves and keep a safety margin of it:
# the Python frames of 255 nested default calls alone reach that margin of a
# 256 KB stack there, so the stack is doubled for them.
SMALL_STACK = 256 * 1024 if sys.version_info < (3, 14) else 512 * 1024


def run_on_small_stack(call, stack=SMALL_STACK):
    """Runs call() on a thread with a small stack; returns its outcome."""
    outcome = []

    def target():
        try:
            outcome.append(call())
        except quibex.JSONEncodeError as e:
            outcome.append(e.args[0])

    previous = threading.stack_size(stack)
    try:
        worker = threading.Thread(target=target)
        worker.start()
        worker.join()
    finally:
        threading.stack_size(previous)
    return outcome[0]


class Opaque:
    pass


def default_wrapping_another(obj):
    """Each call adds one container and one default level."""
    return [Opaque()]


@pytest.mark.release_build  # ASan frames are several times larger
def test_dumps_at_its_limits_fits_a_small_thread_stack():
    # Both limits at once bound the C stack a call can use: 254 containers
    # and 255 default calls, in every layout.
    dicts = nest(254, lambda v: {"k": v})
    for option in (0, INDENT | quibex.OPT_SORT_KEYS, INDENT | quibex.OPT_NON_STR_KEYS):
        assert run_on_small_stack(lambda: len(quibex.dumps(dicts, option=option))) > 254 * 5
        assert run_on_small_stack(lambda: quibex.dumps(Opaque(), default_wrapping_another, option=option)) == (
            "Recursion limit reached")
        assert run_on_small_stack(lambda: quibex.dumps(Opaque(), lambda o: Opaque(), option=option)) == (
            "default serializer exceeds recursion limit")


def reenter_default(obj):
    return quibex.Fragment(quibex.dumps(obj, reenter_default))


class ReenteringZone(datetime.tzinfo):
    def utcoffset(self, dt):
        quibex.dumps(dt)
        return datetime.timedelta(0)


@dataclasses.dataclass(slots=True)
class Slot:
    a: int


class ReenteringProperty:
    """Read through the field table of Slot: the member is a property that
    serialises its own object."""
    __slots__ = ()
    __dataclass_fields__ = Slot.__dataclass_fields__

    @property
    def a(self):
        return quibex.dumps(self)


@pytest.mark.parametrize("value, default, message", [
    (Opaque(), reenter_default, "Type is not JSON serializable: Opaque"),
    (datetime.datetime(2024, 1, 1, tzinfo=ReenteringZone()), None,
     "datetime's timezone library is not supported: use datetime.timezone.utc, pendulum, pytz, or dateutil"),
    (ReenteringProperty(), None, "Type is not JSON serializable: ReenteringProperty"),
], ids=["default", "time-zone", "property"])
def test_endless_reentry_ends_in_recursion_error(value, default, message):
    # Every level is a fresh dumps call with its own limits: only the
    # interpreter's recursion limit stops it, and the error says so.
    e = encode_error(value, default)
    assert e.args == (message,)
    assert RecursionError in causes(e)


def test_reentry_that_ends_gives_the_nested_output():
    def default(obj):
        return quibex.Fragment(quibex.dumps({"inner": obj.depth}, option=INDENT))

    class Level:
        def __init__(self, depth):
            self.depth = depth

    out = quibex.dumps([Level(1), {"k": Level(2)}], default)
    assert json.loads(out) == [{"inner": 1}, {"k": {"inner": 2}}]


# --- Documents of 100 MB and more -----------------------------------------------------

def test_100_mb_document_and_an_error_at_its_end():
    chunk = "\u00e9\u20ac" * (MB // 5) + "x"  # 1 MiB of UTF-8, two byte widths
    doc = ("[" + ",".join(['"' + chunk + '"'] * 100) + "]").encode()
    assert len(doc) > 100 * MB
    result = quibex.loads(doc)
    assert len(result) == 100 and result[0] == chunk and result[-1] == chunk
    del result
    # Cut before the last closing bracket: the position counts characters,
    # not bytes, across the whole document.
    e = decode_error(memoryview(doc)[:-1])
    assert (e.msg, e.pos) == ("unexpected end of data", 1 + 100 * (len(chunk) + 2) + 99)


def test_dumps_of_more_than_100_mb():
    row = ["\u00e9" * 1200, "\x00\"\\" * 300, 1.5, 2**62, None]
    want_row = json.dumps(row, ensure_ascii=False, separators=(",", ":")).encode()
    out = quibex.dumps([row] * 20_000)
    assert len(out) > 100 * MB
    assert len(out) == 2 + 20_000 * len(want_row) + 19_999
    assert out.count(want_row) == 20_000 and out.count(b"],[") == 19_999


# --- Millions of escapes ------------------------------------------------------------

@pytest.mark.parametrize("text, want", [
    ("\x00" * 2_000_000, b"\\u0000" * 2_000_000),
    ('"\\' * 2_000_000, b'\\"\\\\' * 2_000_000),
    ("\n\x1f\t\u00e9" * 1_000_000, "\\n\\u001f\\t\u00e9".encode() * 1_000_000),
], ids=["nul", "quote-backslash", "mixed"])
def test_dumps_millions_of_escapes(text, want):
    assert quibex.dumps(text) == b'"' + want + b'"'
    assert quibex.dumps({text: [text]}, option=quibex.OPT_SORT_KEYS) == b'{"' + want + b'":["' + want + b'"]}'


@pytest.mark.parametrize("escape, char", [
    (rb"\u0000", "\x00"), (rb"\n", "\n"), (rb"\u00e9", "\u00e9"), (rb"\u20ac", "\u20ac"),
    (rb"\ud83d\ude00", "\U0001f600"), (rb"\/", "/"),
])
def test_loads_millions_of_escapes(escape, char):
    n = 2_000_000
    assert quibex.loads(b'"' + escape * n + b'"') == char * n
    # As a key too: longer than any cached key.
    assert quibex.loads(b'{"' + escape * n + b'":1}') == {char * n: 1}


def test_bad_escape_after_millions_of_good_ones():
    doc = b'"' + rb"\u00e9" * 1_000_000 + rb"\uZZZZ" + b'"'
    e = decode_error(doc)
    assert (e.msg, e.pos) == ("invalid escaped sequence in string", 1 + 6 * 1_000_000)


# --- Numbers of a million digits --------------------------------------------------------

M = 1_000_000


@pytest.mark.parametrize("text", [
    b"0." + b"1" * M,
    b"1" * M + b"e-" + str(M).encode(),
    b"9007199254740993" + b"0" * M + b"e-" + str(M).encode(),        # halfway: ties to even
    b"9007199254740993" + b"0" * M + b"1e-" + str(M + 1).encode(),   # just above halfway: the last digit decides
    b"-0." + b"0" * M + b"17976931348623157e" + str(M + 309).encode(),
    b"2.4703282292062327208828439643411068618252990130716238221279284125033775363510437593264991818081799618989828"
    + b"0" * M + b"1e-324",                                              # above half the smallest subnormal
    b"1e" + b"0" * M + b"5",                                             # a million leading zeros in the exponent
], ids=["fraction", "integer-part", "halfway", "above-halfway", "leading-zeros", "subnormal", "exponent-zeros"])
def test_million_digit_numbers_round_correctly(text):
    assert quibex.loads(text) == float(text)
    assert quibex.loads(b"[" + text + b"]") == [float(text)]


@pytest.mark.parametrize("text, want", [
    (b"1e-" + b"9" * M, 0.0),
    (b"-1e-" + b"9" * M, -0.0),
    (b"0e" + b"9" * M, 0.0),
    (b"-0.0e" + b"9" * M, -0.0),
])
def test_million_digit_exponents_to_zero(text, want):
    got = quibex.loads(text)
    assert got == want and str(got) == str(want)


@pytest.mark.parametrize("text", [b"1" * M, b"-" + b"9" * M, b"1e" + b"9" * M, b"0." + b"0" * M + b"1e" + b"9" * M])
def test_million_digit_numbers_too_large(text):
    e = decode_error(text)
    assert (e.msg, e.pos) == ("number is infinity when parsed as double", 0)


def test_dumps_million_digit_ints():
    huge = 1 << 3_400_000  # a million decimal digits
    for value in (huge, -huge):
        assert encode_error([value]).args == ("Integer exceeds 64-bit range",)
    assert encode_error({huge: 1}, option=quibex.OPT_NON_STR_KEYS).args == (
        "Dict integer key must be within 64-bit range",)


# --- Invalid UTF-8 at every position ------------------------------------------------

BAD_SEQUENCES = {
    "continuation": b"\x80", "ff": b"\xff", "overlong": b"\xc0\xaf", "overlong-3": b"\xe0\x80\xaf",
    "surrogate": b"\xed\xa0\x80", "cut-3": b"\xe2\x82", "cut-4": b"\xf0\x9f\x98", "above-max": b"\xf4\x90\x80\x80",
    "f5": b"\xf5\x80\x80\x80",
}

# Long enough to span several 64-byte blocks of the validator, with
# multi-byte characters in strings and keys.
VALID_DOC = ('{"k\u00e9y": ["\u20ac\U0001f600 text", 1.5, true, null], "list": [' + ", ".join(
    f'"item {i} \u00e9"' for i in range(8)) + '], "n": -12}').encode()


def starts_character(doc, i):
    return i == len(doc) or not 0x80 <= doc[i] <= 0xBF


@pytest.mark.parametrize("bad", BAD_SEQUENCES.values(), ids=BAD_SEQUENCES.keys())
def test_invalid_utf8_at_every_position(bad):
    assert quibex.loads(VALID_DOC) == json.loads(VALID_DOC)
    for i in range(len(VALID_DOC) + 1):
        if starts_character(VALID_DOC, i):
            docs = (VALID_DOC[:i] + bad + VALID_DOC[i:], VALID_DOC[:i] + bad)
        else:  # inside a character: cut it short
            docs = (VALID_DOC[:i], VALID_DOC[:i] + b" " + VALID_DOC[i:])
        for doc in docs:
            for make in (bytes, bytearray, memoryview):
                e = decode_error(make(doc))
                assert (e.msg, e.doc, e.pos) == (NOT_UTF8, "", 0), (i, make)


@pytest.mark.parametrize("i", range(0, 40))
def test_lone_surrogate_at_every_position_of_str_input(i):
    text = VALID_DOC.decode()[:40]
    e = decode_error(text[:i] + "\udc80" + text[i:])
    assert (e.msg, e.doc, e.pos) == (NOT_UTF8, "", 0)


# --- NUL bytes ---------------------------------------------------------------------

@pytest.mark.parametrize("doc, msg, pos", [
    (b"\x00", "unexpected character", 0),
    (b"\x00\x00\x00\x00", "unexpected character", 0),
    (b'["a\x00b"]', "unexpected control character in string", 3),
    (b'{"a\x00":1}', "unexpected control character in string", 3),
    (b"[1,\x002]", "unexpected character", 3),
    (b"[1\x00]", "unexpected character", 2),
    (b"nu\x00l", "invalid literal", 0),
    (b"1\x002", "unexpected content after document", 1),
    (b"[]\x00", "unexpected content after document", 2),
    (b'"abc\x00', "unexpected control character in string", 4),
    (b'"\\\x00"', "invalid escaped character in string", 2),
    (b'"\\u00\x000"', "invalid escaped sequence in string", 1),
])
def test_raw_nul_bytes(doc, msg, pos):
    for value in (doc, doc.decode()):
        e = decode_error(value)
        assert (e.msg, e.pos) == (msg, pos)


def test_nul_characters_in_keys_are_distinct_keys():
    # Keys that differ only after a NUL, or in the number of NULs, must not
    # share a cached key.
    keys = ["a", "a\x00", "a\x00b", "a\x00c", "\x00", "\x00\x00", "", "\x00" * 64, "\x00" * 65]
    doc = json.dumps([{k: i} for i, k in enumerate(keys)] * 2)
    for _ in range(2):
        assert quibex.loads(doc) == json.loads(doc)
        assert quibex.loads(doc.encode()) == json.loads(doc)


def test_nul_in_dumps_output():
    value = {"\x00k": "\x00", "k\x00": [quibex.Fragment(b'"\x00"'), quibex.Fragment("\x00")]}
    assert quibex.dumps(value) == b'{"\\u0000k":"\\u0000","k\\u0000":["\x00",\x00]}'
    assert quibex.dumps(value, option=quibex.OPT_SORT_KEYS).startswith(b'{"\\u0000k"')


# --- Lone surrogates in str objects given to dumps ------------------------------------

class Tone(enum.Enum):
    BAD = "\ud800"


@dataclasses.dataclass
class Member:
    name: object


@pytest.mark.parametrize("value, option", [
    ("\udfff", 0),
    (["ok", "x\ud800y"], INDENT),
    ({"\ud800": 1}, 0),
    ({"a": 1, "\ud800": 1}, quibex.OPT_SORT_KEYS),
    ({StrSub("\ud800"): 1}, quibex.OPT_NON_STR_KEYS),
    ({"\ud800": 1}, quibex.OPT_NON_STR_KEYS | quibex.OPT_SORT_KEYS),
    (StrSub("\ud800"), 0),
    (Tone.BAD, 0),
    ({Tone.BAD: 1}, quibex.OPT_NON_STR_KEYS),
    (Member("\ud800"), 0),
    (quibex.Fragment("\ud800"), 0),
    ("\ud83d\ude00", 0),  # a pair of surrogate code points is not a character
], ids=["value", "list-item", "key", "sorted-key", "str-subclass-key", "sorted-non-str-key", "str-subclass",
        "enum-value", "enum-key", "dataclass-member", "fragment", "surrogate-pair"])
def test_lone_surrogates_everywhere_a_str_is_written(value, option):
    e = encode_error(value, option=option)
    assert e.args == (NOT_UTF8,)
    assert isinstance(e.__cause__, UnicodeEncodeError)
    # The same str handed back by default.
    e = encode_error(Opaque(), lambda o: value, option=option)
    assert e.args == (NOT_UTF8,)


# --- Python code that misbehaves during a call ------------------------------------------

class RaisingProperty:
    __slots__ = ()
    __dataclass_fields__ = Slot.__dataclass_fields__

    @property
    def a(self):
        raise RuntimeError("property failed")


class ExitingProperty:
    __slots__ = ()
    __dataclass_fields__ = Slot.__dataclass_fields__

    @property
    def a(self):
        raise SystemExit(3)


@dataclasses.dataclass
class Guarded:
    """Every attribute read raises."""
    a: int

    def __getattribute__(self, name):
        raise LookupError(name)


@pytest.mark.parametrize("make, cause", [
    (RaisingProperty, RuntimeError),
    (lambda: Guarded(1), LookupError),
], ids=["raises", "every-read-raises"])
def test_property_that_raises_inside_a_dataclass(make, cause):
    value = make()
    e = encode_error({"x": [value]})
    assert e.args == (f"Type is not JSON serializable: {type(value).__name__}",)
    assert type(e.__cause__) is cause


TO_RAISE = []  # the exception the callbacks below raise


def raise_chosen(*args):
    raise TO_RAISE[0]


class RaisingMember(enum.Enum):
    A = 1
    value = property(raise_chosen)


class RaisingZone(datetime.tzinfo):
    utcoffset = raise_chosen


class ChosenProperty:
    __slots__ = ()
    __dataclass_fields__ = Slot.__dataclass_fields__
    a = property(raise_chosen)


# A value whose writing runs a raising callback, with the options that reach it.
CALLBACKS = {
    "default": (object(), {"default": raise_chosen}),
    "property": (ChosenProperty(), {}),
    "enum-value": (RaisingMember.A, {}),
    "time-zone": (datetime.datetime(2024, 1, 1, tzinfo=RaisingZone()), {}),
    "non-str-key": ({RaisingMember.A: 1}, {"option": quibex.OPT_NON_STR_KEYS}),
}


@pytest.mark.parametrize("where", CALLBACKS)
@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit, MemoryError])
def test_interruptions_and_memory_errors_of_callbacks_pass_through(where, exc):
    value, kwargs = CALLBACKS[where]
    TO_RAISE[:] = [exc("from the callback")]
    for sort in [0, quibex.OPT_SORT_KEYS]:
        option = kwargs.get("option", 0) | sort
        with pytest.raises(BaseException) as e:
            quibex.dumps({"a": [value]}, **{**kwargs, "option": option})
        assert e.value is TO_RAISE[0] and e.value.__cause__ is None


@dataclasses.dataclass
class DictRaises:
    a: int

    @property
    def __dict__(self):
        raise RuntimeError("no instance dictionary")


def test_instance_dictionary_that_raises_falls_back_to_the_fields():
    assert quibex.dumps([DictRaises(1)], option=INDENT) == b'[\n  {\n    "a": 1\n  }\n]'


def test_default_that_swaps_the_containers_around_it():
    # default replaces the list being written, the dict around it (by as
    # many new members) and the value's own class while it runs; the walk
    # finishes over what it holds, and goes on in the dict's new table at its
    # position there, as Python's own iteration does.
    inner = [None, "after"]
    outer = {"a": inner, "b": 2}

    def default(obj):
        inner[:] = [1] * 10_000
        outer.clear()
        outer.update({"c": 3, "d": 4})
        return "x"

    inner[0] = Opaque()
    out = quibex.dumps(outer, default)
    assert json.loads(out) == {"a": ["x", 1], "d": 4}

"""loads and dumps against the standard json module, under atheris.

The first input byte picks the side. loads: the rest is a document; quibex
must accept it exactly when json accepts it under quibex's rules (no NaN or
infinities, no lone surrogates, at most 1024 levels, integers outside the
64-bit range read as floats), and then build an equal value, floats bit for
bit and dict keys in the same order; bytes, bytearray, memoryview and str
input give the same result. dumps: the rest drives a generator of
JSON-compatible values (with some that dumps must refuse); the output must
read back to the value with json, and match json.dumps byte for byte when
the value holds no float (whose text differs by design).

Run by scripts/fuzz.sh with the module of the fuzz build, whose coverage
hooks guide atheris.
"""

import json
import math
import struct
import sys

import atheris
import quibex

sys.set_int_max_str_digits(0)
sys.setrecursionlimit(100_000)

MAX_LEVELS = 1024  # nesting levels loads accepts, the root included
INT_RANGE = range(-(2**63), 2**64)  # integers loads reads as int and dumps writes
OPTIONS = (quibex.OPT_INDENT_2, quibex.OPT_SORT_KEYS, quibex.OPT_APPEND_NEWLINE)


class Refused(Exception):
    """A text json reads but quibex must refuse."""


def refuse_constant(text):
    raise Refused(text)


def read_float(text):
    value = float(text)
    if math.isinf(value):
        raise Refused(text)
    return value


def read_int(text):
    value = int(text)
    if value in INT_RANGE:
        return value
    try:
        return float(value)  # correctly rounded, as quibex reads a long integer
    except OverflowError:
        raise Refused(text) from None


def walk(value):
    """Yields (value, level) for every value, containers first, iteratively."""
    stack = [(value, 1)]
    while stack:
        item, level = stack.pop()
        yield item, level
        if isinstance(item, dict):
            stack.extend((k, level + 1) for k in item)
            stack.extend((v, level + 1) for v in item.values())
        elif isinstance(item, (list, tuple)):
            stack.extend((v, level + 1) for v in item)


def has_surrogate(s):
    return any(0xD800 <= ord(c) <= 0xDFFF for c in s)


def json_reference(text):
    """What quibex must read from `text`: (True, value) or (False, None)."""
    try:
        value = json.loads(text, parse_constant=refuse_constant, parse_float=read_float, parse_int=read_int)
    except (ValueError, Refused, RecursionError):
        return False, None
    for item, level in walk(value):
        if level > MAX_LEVELS or (isinstance(item, str) and has_surrogate(item)):
            return False, None
    return True, value


def same(a, b):
    """Equality of type, order and float bits, iteratively."""
    stack = [(a, b)]
    while stack:
        x, y = stack.pop()
        if type(x) is not type(y):
            return False
        if isinstance(x, float):
            if struct.pack("<d", x) != struct.pack("<d", y):
                return False
        elif isinstance(x, dict):
            if list(x) != list(y):
                return False
            stack.extend(zip(x.values(), y.values()))
        elif isinstance(x, list):
            if len(x) != len(y):
                return False
            stack.extend(zip(x, y))
        elif x != y:
            return False
    return True


def quibex_loads(data):
    try:
        return True, quibex.loads(data)
    except quibex.JSONDecodeError:
        return False, None


def check_loads(data):
    ok, value = quibex_loads(data)
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        assert not ok, "invalid UTF-8 accepted"
        return
    want_ok, want = json_reference(text)
    assert ok == want_ok, f"quibex {'accepted' if ok else 'refused'} what json {'refused' if ok else 'accepts'}"
    if not ok:
        return
    assert same(value, want), f"values differ: {value!r} != {want!r}"
    for other in (text, bytearray(data), memoryview(data)):
        other_ok, other_value = quibex_loads(other)
        assert other_ok and same(other_value, value), f"{type(other).__name__} input reads differently"


def generate(fdp, depth=0):
    """A JSON-compatible value (or one with a lone surrogate or an integer
    outside 64 bits, which dumps must refuse) from fuzzer bytes."""
    kind = fdp.ConsumeIntInRange(0, 9 if depth < 12 else 6)
    if kind == 0:
        return None
    if kind == 1:
        return fdp.ConsumeBool()
    if kind == 2:
        return fdp.ConsumeInt(9)
    if kind == 3:
        return fdp.ConsumeFloat()
    if kind in (4, 5, 6):
        return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 40))
    n = fdp.ConsumeIntInRange(0, 6)
    if kind == 7:
        return [generate(fdp, depth + 1) for _ in range(n)]
    if kind == 8:
        return tuple(generate(fdp, depth + 1) for _ in range(n))
    return {fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 20)): generate(fdp, depth + 1) for _ in range(n)}


def refused_by_dumps(value):
    for item, _ in walk(value):
        if isinstance(item, str) and has_surrogate(item):
            return True
        if type(item) is int and item not in INT_RANGE:
            return True
    return False


def plain(value):
    """The value as json reads it back: tuples become lists, non-finite
    floats become None."""
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    return value


def check_dumps(fdp):
    option = 0
    for flag in OPTIONS:
        if fdp.ConsumeBool():
            option |= flag
    value = generate(fdp)
    refused = refused_by_dumps(value)
    try:
        out = quibex.dumps(value, option=option)
    except quibex.JSONEncodeError:
        assert refused, f"dumps refused {value!r}"
        return
    assert not refused, f"dumps wrote {value!r}"
    want = plain(value)
    if option & quibex.OPT_SORT_KEYS:
        want = json.loads(json.dumps(want, sort_keys=True))
    assert same(json.loads(out), want), f"dumps output reads back differently: {out!r}"
    ok, again = quibex_loads(out)
    assert ok and same(again, want), f"loads of dumps output differs: {out!r}"
    if not any(isinstance(item, float) for item, _ in walk(value)):
        indent = 2 if option & quibex.OPT_INDENT_2 else None
        text = json.dumps(value, ensure_ascii=False, indent=indent, sort_keys=bool(option & quibex.OPT_SORT_KEYS),
                          separators=(",", ": ") if indent else (",", ":"))
        text += "\n" if option & quibex.OPT_APPEND_NEWLINE else ""
        assert out == text.encode(), f"dumps text differs from json: {out!r} != {text!r}"


def one_input(data):
    if not data:
        return
    if data[0] & 1:
        check_loads(data[1:])
    else:
        check_dumps(atheris.FuzzedDataProvider(data[1:]))


def main():
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()

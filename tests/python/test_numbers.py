"""int and float values: range rules, shortest round-trip text and its layout."""
import json
import math
import pathlib
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quibex

ROOT = pathlib.Path(__file__).resolve().parents[2]
STRICT = quibex.OPT_STRICT_INTEGER
MSG_64 = "Integer exceeds 64-bit range"
MSG_53 = "Integer exceeds 53-bit range"

INT_CASES = [
    # value, option, expected text or error message
    (0, None, b"0"),
    (-1, None, b"-1"),
    (2**30 - 1, None, b"1073741823"),  # largest one-digit (compact) int
    (2**30, None, b"1073741824"),  # first int read through the 64-bit path
    (-(2**30), None, b"-1073741824"),
    (-(2**30) + 1, None, b"-1073741823"),
    (2**53 - 1, STRICT, b"9007199254740991"),
    (2**53, STRICT, MSG_53),
    (-(2**53) + 1, STRICT, b"-9007199254740991"),
    (-(2**53), STRICT, MSG_53),  # the strict range is symmetric
    (2**53, None, b"9007199254740992"),
    (2**64 - 1, None, b"18446744073709551615"),
    (2**64, None, MSG_64),
    (2**64, STRICT, MSG_64),  # the 64-bit check comes first
    (-(2**63), None, b"-9223372036854775808"),
    (-(2**63), STRICT, MSG_53),
    (-(2**63) - 1, None, MSG_64),
    (-(2**63) - 1, STRICT, MSG_64),
    (-(2**100), None, MSG_64),
    (10**16, None, b"10000000000000000"),
    (10**8, None, b"100000000"),
    (123, STRICT, b"123"),
    (-(2**30), STRICT, b"-1073741824"),
]


@pytest.mark.parametrize("value, option, want", INT_CASES, ids=[f"{v}-{o}" for v, o, _ in INT_CASES])
def test_int(value, option, want):
    if isinstance(want, bytes):
        assert quibex.dumps(value, option=option) == want
        assert quibex.dumps([value, value], option=option) == b"[" + want + b"," + want + b"]"
        return
    for obj in (value, [1, value, 2], {"a": [value]}):
        with pytest.raises(quibex.JSONEncodeError) as info:
            quibex.dumps(obj, option=option)
        # Only the message: no exception of the conversion is left behind as cause.
        assert info.value.args == (want,)
        assert info.value.__cause__ is None


def test_int_list_and_subclass():
    class Count(int):
        pass

    assert quibex.dumps([1, -1, 2**64 - 1]) == b"[1,-1,18446744073709551615]"
    assert quibex.dumps([Count(7), Count(-(2**40)), Count(0)]) == b"[7,-1099511627776,0]"
    with pytest.raises(quibex.JSONEncodeError, match=MSG_64):
        quibex.dumps(Count(2**64))


FLOAT_CASES = [
    (0.0, b"0.0"),
    (-0.0, b"-0.0"),
    (1.0, b"1.0"),
    (-1.0, b"-1.0"),
    (0.1, b"0.1"),
    (2 / 3, b"0.6666666666666666"),
    (123.456, b"123.456"),
    (1e15, b"1000000000000000.0"),
    (999999999999999.9, b"999999999999999.9"),
    (2.0**53, b"9007199254740992.0"),
    (9999999999999998.0, b"9999999999999998.0"),
    (1e16, b"1e+16"),
    (1.5e16, b"1.5e+16"),
    (12345678901234567890.0, b"1.2345678901234567e+19"),
    (6.02214076e23, b"6.02214076e+23"),
    (1e21, b"1e+21"),
    (1e100, b"1e+100"),
    (1.7976931348623157e308, b"1.7976931348623157e+308"),
    (0.0001, b"0.0001"),
    (1e-5, b"0.00001"),
    (1.2345e-5, b"0.000012345"),
    (9.99e-6, b"9.99e-6"),
    (1e-6, b"1e-6"),
    (1.5e-7, b"1.5e-7"),
    (-1e-100, b"-1e-100"),
    (2.2250738585072014e-308, b"2.2250738585072014e-308"),
    (5e-324, b"5e-324"),
    (float("nan"), b"null"),
    (float("inf"), b"null"),
    (float("-inf"), b"null"),
]


@pytest.mark.parametrize("value, want", FLOAT_CASES, ids=[repr(v) for v, _ in FLOAT_CASES])
def test_float(value, want):
    assert quibex.dumps(value) == want
    assert quibex.dumps([value, value]) == b"[" + want + b"," + want + b"]"
    assert quibex.dumps({"k": value}) == b'{"k":' + want + b"}"


def test_float_indented():
    assert quibex.dumps([1e-7, float("nan")], option=quibex.OPT_INDENT_2) == b"[\n  1e-7,\n  null\n]"


def digits_and_exponent(text):
    """The significant digits and decimal exponent of the first digit of a
    JSON number text, whatever its layout."""
    mantissa, _, exp = text.lower().partition("e")
    whole, _, frac = mantissa.lstrip("-").partition(".")
    digits = (whole + frac).lstrip("0")
    exponent = int(exp or 0) + len(whole.lstrip("0")) - 1
    if not whole.strip("0"):
        exponent = int(exp or 0) - (len(frac) - len(frac.lstrip("0"))) - 1
    return digits.rstrip("0"), exponent


@settings(max_examples=1500)
@given(st.floats(allow_nan=False, allow_infinity=False))
def test_floats_round_trip_with_the_shortest_digits(x):
    text = quibex.dumps(x).decode()
    back = json.loads(text)
    assert back == x and math.copysign(1, back) == math.copysign(1, x)
    if x != 0:
        # The stdlib writes the shortest round-trip digits too (in its own layout).
        assert digits_and_exponent(text) == digits_and_exponent(json.dumps(x))


@settings(max_examples=1000)
@given(st.integers(min_value=-(2**70), max_value=2**70) | st.integers(min_value=-(2**31), max_value=2**31))
def test_ints_match_stdlib_inside_the_ranges(i):
    if -(2**63) <= i < 2**64:
        assert quibex.dumps(i) == json.dumps(i).encode()
    else:
        with pytest.raises(quibex.JSONEncodeError, match=MSG_64):
            quibex.dumps(i)
    if abs(i) < 2**53:
        assert quibex.dumps(i, option=STRICT) == json.dumps(i).encode()
    else:
        with pytest.raises(quibex.JSONEncodeError, match=MSG_53 if -(2**63) <= i < 2**64 else MSG_64):
            quibex.dumps(i, option=STRICT)


def test_pow10_table_is_generated():
    out = subprocess.run(
        [sys.executable, str(ROOT / "scripts" / "gen_pow10_table.py")], check=True, capture_output=True, text=True
    ).stdout
    assert out == (ROOT / "src" / "number" / "pow10_128.inc").read_text()

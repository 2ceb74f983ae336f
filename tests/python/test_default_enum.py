"""The default hook, enum members and fragments."""
import dataclasses
import datetime
import enum

import pytest

import quibex
from conftest import BytesSub, Color, Number, Shade, StrSub

INDENT = quibex.OPT_INDENT_2


# --- enum members ---------------------------------------------------------------

class Deepest(enum.Enum):
    X = Shade.DARK


class Perm(enum.Flag):
    R = 4
    W = 2


@dataclasses.dataclass
class Point:
    x: int


class Holder(enum.Enum):
    POINT = Point(1)
    LIST = [1, [2]]


@pytest.mark.parametrize("value, option, expected", [
    (Color.RED, 0, b'"red"'),
    (Color.ONE, 0, b"1"),
    (Color.PAIR, 0, b'[1,"a"]'),
    (Color.DAY, 0, b'"2024-01-02"'),
    (Color.ID, 0, b'"00000000-0000-0000-0000-000000000001"'),
    (Color.NOTHING, 0, b"null"),
    (Color.MAP, 0, b"2.5"),
    (Shade.DARK, 0, b'"red"'),
    (Shade.DEEPER, 0, b'[1,"a"]'),
    (Deepest.X, 0, b'"red"'),
    (Perm.R | Perm.W, 0, b"6"),
    (Number.TWO, 0, b"2"),
    (Number.TWO, quibex.OPT_PASSTHROUGH_SUBCLASS, b"2"),
    (Holder.POINT, 0, b'{"x":1}'),
    (Holder.LIST, 0, b"[1,[2]]"),
    ({"k": [Color.ONE, Shade.DARK]}, 0, b'{"k":[1,"red"]}'),
], ids=repr)
def test_enum_values(value, option, expected):
    assert quibex.dumps(value, option=option) == expected


def test_enum_indented_and_date_passthrough():
    assert quibex.dumps([Holder.LIST], option=INDENT) == b"[\n  [\n    1,\n    [\n      2\n    ]\n  ]\n]"
    # The enum's date value follows the options like any date.
    assert quibex.dumps(Color.DAY, option=quibex.OPT_PASSTHROUGH_DATETIME, default=lambda o: "d") == b'"d"'


def test_enum_members_add_no_depth():
    nested = [1]
    for _ in range(253):
        nested = [nested]
    Deep = enum.Enum("Deep", {"V": nested})
    assert quibex.dumps(Deep.V).count(b"[") == 254
    with pytest.raises(quibex.JSONEncodeError, match="^Recursion limit reached$"):
        quibex.dumps([Deep.V])


def test_enum_value_refcounts(refcount):
    value = [1, 2]
    Boxed = enum.Enum("Boxed", {"A": value})
    before = refcount(value)
    assert quibex.dumps([Boxed.A, Boxed.A]) == b"[[1,2],[1,2]]"
    assert refcount(value) == before
    Failing = enum.Enum("Failing", {"A": [object()]})
    with pytest.raises(quibex.JSONEncodeError):
        quibex.dumps(Failing.A)
    assert refcount(value) == before


def test_member_without_value():
    broken = object.__new__(Color)
    with pytest.raises(quibex.JSONEncodeError) as e:
        quibex.dumps([broken])
    assert e.value.args == ("Type is not JSON serializable: Color",)
    assert isinstance(e.value.__cause__, AttributeError)


def test_member_that_is_its_own_value():
    """A member whose value chain never ends fails instead of recursing for ever."""
    loop = object.__new__(Color)
    loop._value_ = loop
    with pytest.raises(quibex.JSONEncodeError) as e:
        quibex.dumps(loop)
    assert e.value.args == ("Recursion limit reached",)
    loop._name_ = "LOOP"   # hashable, for the key path
    with pytest.raises(quibex.JSONEncodeError) as e:
        quibex.dumps({loop: 1}, option=quibex.OPT_NON_STR_KEYS)
    assert e.value.args == ("Recursion limit reached",)
    del loop._value_


def test_value_property_that_raises():
    class Odd(enum.Enum):
        A = 1

        @property
        def value(self):
            raise KeyError("no")

    with pytest.raises(quibex.JSONEncodeError) as e:
        quibex.dumps(Odd.A)
    assert e.value.args == ("Type is not JSON serializable: Odd",)
    assert isinstance(e.value.__cause__, KeyError)


class Doubled(enum.Enum):
    A = 1

    @property
    def value(self):
        return self._value_ * 2


class Fallback(enum.Enum):
    A = 1

    def __getattr__(self, name):
        return f"looked up {name}"


def test_value_as_getattr_gives_it():
    """value is what getattr gives: a class's own property, or what __getattr__ makes of a missing _value_."""
    assert quibex.dumps([Doubled.A, Fallback.A]) == b'[2,"looked up _value_"]'
    assert quibex.dumps(object.__new__(Fallback)) == b'"looked up _value_"'


# --- fragments --------------------------------------------------------------------

@pytest.mark.parametrize("value, option, expected", [
    (quibex.Fragment(b'{"x":1}'), 0, b'{"x":1}'),
    (quibex.Fragment("é"), 0, "é".encode()),
    (quibex.Fragment("\U0001f600"), 0, "\U0001f600".encode()),
    (quibex.Fragment(b""), 0, b""),
    ([quibex.Fragment(b"")], 0, b"[]"),
    ([quibex.Fragment(b"not json"), 1], 0, b"[not json,1]"),
    ([quibex.Fragment(b'{"x":1}')], INDENT, b'[\n  {"x":1}\n]'),
    ({"a": quibex.Fragment("[1,\n2]")}, INDENT, b'{\n  "a": [1,\n2]\n}'),
    ({"b": quibex.Fragment(b"1"), "a": 2}, quibex.OPT_SORT_KEYS, b'{"a":2,"b":1}'),
    (Point(quibex.Fragment(b"null")), 0, b'{"x":null}'),
    (quibex.Fragment(b"x" * 5000), 0, b"x" * 5000),
], ids=lambda v: repr(v)[:40])
def test_fragment_output(value, option, expected):
    assert quibex.dumps(value, option=option) == expected


@pytest.mark.parametrize("content, message, cause", [
    (1, "quibex.Fragment's content is not of type bytes or str", None),
    (bytearray(b"1"), "quibex.Fragment's content is not of type bytes or str", None),
    (memoryview(b"1"), "quibex.Fragment's content is not of type bytes or str", None),
    (BytesSub(b"1"), "quibex.Fragment's content is not of type bytes or str", None),
    (StrSub("1"), "quibex.Fragment's content is not of type bytes or str", None),
    (quibex.Fragment(b"1"), "quibex.Fragment's content is not of type bytes or str", None),
    ("\ud800", "str is not valid UTF-8: surrogates not allowed", UnicodeEncodeError),
], ids=repr)
def test_fragment_errors(content, message, cause):
    with pytest.raises(quibex.JSONEncodeError) as e:
        quibex.dumps([quibex.Fragment(content)], default=lambda o: "never")
    assert e.value.args == (message,)
    assert type(e.value.__cause__) is cause if cause else e.value.__cause__ is None


# --- default --------------------------------------------------------------------------

class Opaque:
    def __init__(self, n=0):
        self.n = n


@pytest.mark.parametrize("default, expected", [
    (lambda o: {"a": 1}, b'{"a":1}'),
    (lambda o: None, b"null"),
    (lambda o: quibex.Fragment(b"[1]"), b"[1]"),
    (lambda o: Color.PAIR, b'[1,"a"]'),
    (lambda o: Point(o.n), b'{"x":0}'),
    (lambda o: datetime.date(2024, 1, 1), b'"2024-01-01"'),
    (lambda o: Opaque(o.n + 1) if o.n < 10 else o.n, b"10"),   # a chain of 11 calls
], ids=["dict", "none", "fragment", "enum", "dataclass", "date", "chain"])
def test_default_results(default, expected):
    assert quibex.dumps(Opaque(), default=default) == expected
    assert quibex.dumps([Opaque()], default=default, option=INDENT).replace(b"\n", b"").replace(b" ", b"") == (
        b"[" + expected.replace(b" ", b"") + b"]")


def test_default_chain_limit():
    calls = []

    def default(o):
        calls.append(o.n)
        return Opaque(o.n + 1)

    with pytest.raises(quibex.JSONEncodeError) as e:
        quibex.dumps({"k": Opaque()}, default=default)
    assert e.value.args == ("default serializer exceeds recursion limit",)
    assert calls == list(range(255))
    calls.clear()
    assert quibex.dumps(Opaque(), default=lambda o: Opaque(o.n + 1) if o.n < 254 else "end") == b'"end"'


def test_default_called_per_occurrence_with_the_value(refcount):
    marker = Opaque()
    result = ["r"]
    seen = []

    def default(o):
        seen.append(o is marker)
        return result

    before = refcount(result), refcount(marker)
    assert quibex.dumps({"a": marker, "b": [marker]}, default=default) == b'{"a":["r"],"b":[["r"]]}'
    assert seen == [True, True]
    assert (refcount(result), refcount(marker)) == before


@pytest.mark.parametrize("default, cause", [
    (None, TypeError),
    (1, TypeError),
    (lambda: 1, TypeError),   # wrong arity
    (lambda o: 1 / 0, ZeroDivisionError),
], ids=["none", "int", "arity", "raises"])
def test_default_that_fails(default, cause):
    with pytest.raises(quibex.JSONEncodeError) as e:
        quibex.dumps([1, Opaque()], default=default)
    assert e.value.args == ("Type is not JSON serializable: Opaque",)
    assert type(e.value.__cause__) is cause and e.value.__suppress_context__


def test_error_inside_default_result_is_not_wrapped():
    with pytest.raises(quibex.JSONEncodeError) as e:
        quibex.dumps(Opaque(), default=lambda o: {1: 2})
    assert e.value.args == ("Dict key must be str",)


def test_default_result_released_after_error(refcount):
    result = [object()]
    before = refcount(result)
    with pytest.raises(quibex.JSONEncodeError):
        quibex.dumps(Opaque(), default=lambda o: result if isinstance(o, Opaque) else 1 / 0)
    assert refcount(result) == before


def test_default_that_drops_its_value():
    """default empties the list holding the only reference to the value."""
    holder = []

    def default(o):
        holder.clear()
        return [type(o).__name__]

    holder.extend([Opaque(), Opaque()])
    assert quibex.dumps(holder, default=default) == b'[["Opaque"]]'

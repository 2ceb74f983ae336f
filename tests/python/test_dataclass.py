"""Dataclass instances: member sources, order, skipping, depth, errors."""
import dataclasses
import typing

import pytest

import quibex

INDENT = quibex.OPT_INDENT_2


@dataclasses.dataclass
class Point:
    x: object
    y: object


@dataclasses.dataclass
class Secret:
    a: int = 1
    _secret: int = 2


@dataclasses.dataclass(slots=True)
class Slotted:
    b: object
    a: object
    c: typing.ClassVar[int] = 7
    _hidden: int = 0


@dataclasses.dataclass
class OnlyPrivate:
    _x: int = 1


@dataclasses.dataclass
class Empty:
    pass


@dataclasses.dataclass
class WithInitVar:
    a: int
    scale: dataclasses.InitVar[int] = 1
    c: typing.ClassVar[int] = 3

    def __post_init__(self, scale):
        self.a *= scale


@dataclasses.dataclass
class HandSlots:
    """__slots__ written by hand: no instance dictionary, the field table is used."""
    __slots__ = ("p", "q")
    p: int
    q: int


@dataclasses.dataclass
class Box:
    x: object


@dataclasses.dataclass
class SlottedChild(Slotted):
    """Inherits __slots__ without its own: the instance dictionary holds only d."""
    d: object = None


@dataclasses.dataclass
class SlotsWithDict:
    """Its own __slots__ (with a __dict__ slot too): the field table is used."""
    __slots__ = ("p", "__dict__")
    p: int


def with_extra():
    s = Secret()
    s.extra = [1]
    s._also_hidden = 3
    return s


@pytest.mark.parametrize("value, expected", [
    (Point(1, 2), b'{"x":1,"y":2}'),
    (Point("a\n", None), b'{"x":"a\\n","y":null}'),
    (with_extra(), b'{"a":1,"extra":[1]}'),
    (Slotted(b=1, a=2), b'{"b":1,"a":2}'),
    (OnlyPrivate(), b"{}"),
    (Empty(), b"{}"),
    (WithInitVar(2, 5), b'{"a":10}'),
    (HandSlots(1, 2), b'{"p":1,"q":2}'),
    (SlottedChild(1, 2, d=3), b'{"d":3}'),
    (SlotsWithDict(1), b'{"p":1}'),
    (Point(Point(1, [Empty()]), {"k": Box({})}), b'{"x":{"x":1,"y":[{}]},"y":{"k":{"x":{}}}}'),
    ([Box(1), Box(2)], b'[{"x":1},{"x":2}]'),
], ids=lambda v: type(v).__name__)
def test_members(value, expected):
    assert quibex.dumps(value) == expected


def test_indented():
    value = [Point(1, [2]), Empty(), OnlyPrivate(), Slotted(Empty(), {})]
    assert quibex.dumps(value, option=INDENT) == (
        b'[\n  {\n    "x": 1,\n    "y": [\n      2\n    ]\n  },\n  {},\n  {},\n'
        b'  {\n    "b": {},\n    "a": {}\n  }\n]')


def test_instance_dictionary_order_and_sources():
    p = Point(1, 2)
    del p.x
    p.z = 3
    p.x = 4
    assert quibex.dumps(p) == b'{"y":2,"z":3,"x":4}'
    # A class-level default never stored on the instance is not a member.
    p2 = Point.__new__(Point)
    p2.y = 1
    assert quibex.dumps(p2) == b'{"y":1}'


def test_key_options_do_not_apply():
    p = Point(1, 2)
    p.a = 0
    assert quibex.dumps(p, option=quibex.OPT_SORT_KEYS) == b'{"x":1,"y":2,"a":0}'
    p.__dict__[1] = 2
    for option in (0, quibex.OPT_NON_STR_KEYS, quibex.OPT_SORT_KEYS):
        with pytest.raises(quibex.JSONEncodeError) as e:
            quibex.dumps(p, option=option)
        assert e.value.args == ("Dict key must be str",)


def test_invalid_member_name():
    p = Point(1, 2)
    p.__dict__["\ud800"] = 1
    with pytest.raises(quibex.JSONEncodeError) as e:
        quibex.dumps(p)
    assert e.value.args == ("str is not valid UTF-8: surrogates not allowed",)
    assert isinstance(e.value.__cause__, UnicodeEncodeError)


def test_unset_slot(refcount):
    value = Slotted.__new__(Slotted)
    member = value.b = [1]
    before = refcount(member)
    with pytest.raises(quibex.JSONEncodeError) as e:
        quibex.dumps([value])
    assert e.value.args == ("Type is not JSON serializable: Slotted",)
    assert isinstance(e.value.__cause__, AttributeError)
    del e
    assert refcount(member) == before


def test_passthrough_dataclass():
    option = quibex.OPT_PASSTHROUGH_DATACLASS
    with pytest.raises(quibex.JSONEncodeError) as e:
        quibex.dumps(Point(1, 2), option=option)
    assert e.value.args == ("Type is not JSON serializable: Point",)
    assert quibex.dumps([Point(1, 2)], option=option, default=dataclasses.asdict) == b'[{"x":1,"y":2}]'
    # The dataclass inside what default returns is passed through again.
    assert quibex.dumps(Box(Box(1)), option=option, default=lambda o: [o.x] if isinstance(o, Box) else o) == b"[[1]]"


def nest(depth, make, inner):
    for _ in range(depth):
        inner = make(inner)
    return inner


@pytest.mark.parametrize("option", [0, INDENT])
def test_depth_counts_the_dataclass(option):
    quibex.dumps(nest(253, lambda v: [v], Point(1, 2)), option=option)
    quibex.dumps(nest(254, Box, 1), option=option)
    quibex.dumps(nest(127, lambda v: [Box(v)], 1), option=option)
    for value in (nest(254, lambda v: [v], Point(1, 2)), nest(255, Box, 1), nest(254, Box, {}),
                  nest(254, lambda v: [v], Empty())):
        with pytest.raises(quibex.JSONEncodeError) as e:
            quibex.dumps(value, option=option)
        assert e.value.args == ("Recursion limit reached",)


def test_refcounts_balanced(refcount):
    members = [[1], {"k": 2}, "text" * 10]
    value = Point(members[0], members[1])
    value.extra = members[2]
    slotted = Slotted(members[0], members[2])
    before = [refcount(o) for o in members + [value, slotted]]
    quibex.dumps([value, slotted])
    quibex.dumps([value, slotted], option=INDENT)
    assert [refcount(o) for o in members + [value, slotted]] == before


class Unsupported:
    def __init__(self, target):
        self.target = target


@pytest.mark.parametrize("change", [
    pytest.param(lambda o: (delattr(o, "y"), delattr(o, "z")), id="remove-later"),
    pytest.param(lambda o: [setattr(o, "m%d" % i, i) for i in range(100)], id="grow"),
])
def test_instance_dictionary_changed_by_default(change):
    """default removes or adds members while the dictionary is walked."""
    p = Point(None, [2])
    p.z = 3
    p.x = Unsupported(p)

    def default(o):
        change(o.target)
        return "r"

    with pytest.raises(quibex.JSONEncodeError) as info:
        quibex.dumps(p, default=default)
    assert type(info.value.__cause__) is RuntimeError
    assert str(info.value.__cause__) == "dictionary changed size during iteration"


def test_instance_dropped_by_its_own_member():
    """The only reference to the dataclass goes while its members are written."""
    holder = []

    def drop(o):
        holder.clear()
        return "r"

    holder.append(Point(Unsupported(None), [1, 2]))
    assert quibex.dumps(holder, default=drop) == b'[{"x":"r","y":[1,2]}]'
    holder.append(Slotted(Unsupported(None), [1, 2]))
    assert quibex.dumps(holder, default=drop) == b'[{"b":"r","a":[1,2]}]'


def test_field_table_replaced_while_walked():
    @dataclasses.dataclass(slots=True)
    class Two:
        a: object
        b: object

    def replace(o):
        Two.__dataclass_fields__ = {}
        return "r"

    assert quibex.dumps(Two(Unsupported(None), 2), default=replace) == b'{"a":"r","b":2}'
    assert quibex.dumps(Two(1, 2)) == b"{}"


@dataclasses.dataclass
class DictProperty:
    """__dict__ that is not a dict: the field table is used instead."""
    a: int
    _b: int = 0

    @property
    def __dict__(self):
        return 5


@dataclasses.dataclass
class Masked:
    a: int

    def __getattribute__(self, name):
        if name == "__dict__":
            return {"masked": 1}
        return super().__getattribute__(name)


def test_unusual_member_sources():
    assert quibex.dumps(DictProperty(1)) == b'{"a":1}'
    assert quibex.dumps(Masked(1)) == b'{"masked":1}'   # __dict__ as getattr gives it

    @dataclasses.dataclass(slots=True)
    class Broken:
        a: int

    Broken.__dataclass_fields__ = 5
    with pytest.raises(quibex.JSONEncodeError) as e:
        quibex.dumps(Broken(1))
    assert e.value.args == ("Type is not JSON serializable: Broken",)

    @dataclasses.dataclass(slots=True)
    class OddTable:
        a: int
        b: int

    fields = OddTable.__dataclass_fields__
    unset = dataclasses.field()
    del unset._field_type
    for entry in [object(), unset]:  # no _field_type, an unset one
        OddTable.__dataclass_fields__ = {"a": fields["a"], "b": entry}
        with pytest.raises(quibex.JSONEncodeError) as e:
            quibex.dumps(OddTable(1, 2))
        assert e.value.args == ("Type is not JSON serializable: OddTable",)
        assert isinstance(e.value.__cause__, AttributeError)
    OddTable.__dataclass_fields__ = fields
    OddTable.__dataclass_fields__ = {1: OddTable.__dataclass_fields__["a"]}
    with pytest.raises(quibex.JSONEncodeError, match="^Dict key must be str$"):
        quibex.dumps(OddTable(1, 2))


def test_field_marker_of_a_reloaded_dataclasses_module():
    code = """if 1:
        import dataclasses, importlib, typing, quibex
        importlib.reload(dataclasses)

        @dataclasses.dataclass(slots=True)
        class P:
            x: int
            y: str
            z: typing.ClassVar[int] = 3

        print(quibex.dumps(P(x=1, y="keep me")).decode())
    """
    import subprocess
    import sys
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert proc.stdout.strip() == '{"x":1,"y":"keep me"}', proc.stderr

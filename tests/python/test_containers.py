"""Lists, tuples and dicts with str keys in both layouts; depth limits;
reference counts; containers changed or dropped while they are written."""
import dataclasses
import gc
import json
import sys
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quibex
from conftest import outside_debug_allocator_child, run_under_debug_allocator

INDENT = quibex.OPT_INDENT_2


def lines(*parts):
    return "\n".join(parts).encode()


LAYOUTS = [
    pytest.param([], b"[]", b"[]", id="empty-list"),
    pytest.param((), b"[]", b"[]", id="empty-tuple"),
    pytest.param({}, b"{}", b"{}", id="empty-dict"),
    pytest.param([[]], b"[[]]", lines("[", "  []", "]"), id="empty-list-in-list"),
    pytest.param([{}], b"[{}]", lines("[", "  {}", "]"), id="empty-dict-in-list"),
    pytest.param([()], b"[[]]", lines("[", "  []", "]"), id="empty-tuple-in-list"),
    pytest.param([1], b"[1]", lines("[", "  1", "]"), id="one-item"),
    pytest.param((1, "a", None, True, 1.5), b'[1,"a",null,true,1.5]',
                 lines("[", "  1,", '  "a",', "  null,", "  true,", "  1.5", "]"), id="tuple-scalars"),
    pytest.param({"a": [1, 2], "b": {}}, b'{"a":[1,2],"b":{}}',
                 lines("{", '  "a": [', "    1,", "    2", "  ],", '  "b": {}', "}"), id="seven-lines"),
    pytest.param({"a": 1, "b": [1, 2], "c": {}}, b'{"a":1,"b":[1,2],"c":{}}',
                 lines("{", '  "a": 1,', '  "b": [', "    1,", "    2", "  ],", '  "c": {}', "}"), id="dict-mixed"),
    pytest.param([[], [False], {"k": []}, ()], b'[[],[false],{"k":[]},[]]',
                 lines("[", "  [],", "  [", "    false", "  ],", "  {", '    "k": []', "  },", "  []", "]"),
                 id="empties-between-filled"),
    pytest.param([[[1.5], []], [[2]], 3], b"[[[1.5],[]],[[2]],3]",
                 lines("[", "  [", "    [", "      1.5", "    ],", "    []", "  ],", "  [", "    [", "      2", "    ]",
                       "  ],", "  3", "]"), id="lists-in-lists"),
    pytest.param({"b": 1, "a": 2}, b'{"b":1,"a":2}', lines("{", '  "b": 1,', '  "a": 2', "}"), id="insertion-order"),
    pytest.param({'"q\n\x00\\': "", "": None}, b'{"\\"q\\n\\u0000\\\\":"","":null}',
                 lines("{", '  "\\"q\\n\\u0000\\\\": "",', '  "": null', "}"), id="key-escaping"),
    pytest.param([[[[1]]]], b"[[[[1]]]]",
                 lines("[", "  [", "    [", "      [", "        1", "      ]", "    ]", "  ]", "]"), id="deep"),
]


@pytest.mark.parametrize("value, compact, indented", LAYOUTS)
def test_layouts(value, compact, indented):
    assert quibex.dumps(value) == compact
    assert quibex.dumps(value, option=INDENT) == indented
    assert indented == json.dumps(value, ensure_ascii=False, indent=2).encode()


class IterList(list):
    def __iter__(self):
        return iter(["wrong"])

    def __len__(self):
        return 0

    def __getitem__(self, i):
        return "wrong"


class ItemsDict(dict):
    def items(self):
        return [("wrong", 0)]

    def keys(self):
        return ["wrong"]

    def __iter__(self):
        return iter(["wrong"])

    def __getitem__(self, key):
        return "wrong"

    def __len__(self):
        return 0


def dict_with_holes():
    d = {f"k{i}": [i] for i in range(40)}
    for i in range(0, 40, 3):
        del d[f"k{i}"]
    return d


def str_keys_in_general_table():
    # A non-str key makes the key table one that stores hashes; it stays so
    # after the key is gone.
    d = {0: None, "a": 1, "b": "two", "c": [3]}
    del d[0]
    return d


def instance_dict():
    # Instances of one class share their key table: values are kept apart.
    class Point:
        def __init__(self, n):
            self.x, self.y, self.tag = n, [n], "p"

    Point(0)
    return vars(Point(7))


class Mapping(dict):
    pass


@pytest.mark.parametrize(
    "build",
    [
        pytest.param(dict_with_holes, id="deleted-entries"),
        pytest.param(str_keys_in_general_table, id="general-key-table"),
        pytest.param(instance_dict, id="split-table"),
        pytest.param(lambda: {f"key{i}": i for i in range(300)}, id="two-byte-indices"),
        pytest.param(lambda: {f"key{i}": i for i in range(70000)}, id="four-byte-indices"),
        pytest.param(lambda: Mapping(dict_with_holes()), id="subclass-with-holes"),
    ],
)
@pytest.mark.parametrize("option", [0, INDENT, quibex.OPT_SORT_KEYS])
def test_dict_layouts_in_memory_match_stdlib(build, option):
    d = build()
    want = json.dumps(d, ensure_ascii=False, indent=2 if option == INDENT else None,
                      separators=None if option == INDENT else (",", ":"),
                      sort_keys=option == quibex.OPT_SORT_KEYS)
    assert quibex.dumps(d, option=option) == want.encode()
    assert quibex.dumps([d, {"n": d}], option=option) == quibex.dumps([dict(d), {"n": dict(d)}], option=option)


@pytest.mark.parametrize("option", [0, INDENT])
def test_subclasses_are_read_from_storage(option):
    value = IterList([1, ItemsDict(a=IterList([]), b=ItemsDict()), ItemsDict(c=2)])
    plain = [1, {"a": [], "b": {}}, {"c": 2}]
    assert quibex.dumps(value, option=option) == quibex.dumps(plain, option=option)


@pytest.mark.parametrize("bad", [1, None, True, 1.5, ("t",), type("S", (str,), {})("s")], ids=repr)
@pytest.mark.parametrize("option", [0, INDENT])
def test_key_must_be_exact_str(bad, option):
    with pytest.raises(quibex.JSONEncodeError, match="^Dict key must be str$"):
        quibex.dumps({"a": 1, bad: 2}, option=option)


def nest(depth, innermost, kinds):
    """`innermost` wrapped in `depth` containers, the outermost first in `kinds` (cycled)."""
    value = innermost
    for level in reversed(range(depth)):
        kind = kinds[level % len(kinds)]
        value = [value] if kind is list else (value,) if kind is tuple else {"k": value}
    return value


MIXES = [pytest.param([list], id="lists"), pytest.param([dict], id="dicts"), pytest.param([tuple], id="tuples"),
         pytest.param([list, dict], id="list-dict"), pytest.param([dict, tuple, list], id="dict-tuple-list")]


@pytest.mark.parametrize("kinds", MIXES)
@pytest.mark.parametrize("option", [0, INDENT])
def test_depth_limit(kinds, option):
    ok = nest(254, 1, kinds)
    assert json.loads(quibex.dumps(ok, option=option)) == json.loads(json.dumps(ok))
    for too_deep in (nest(255, 1, kinds), nest(254, [1], kinds), nest(254, {"k": 1}, kinds), nest(254, {}, kinds)):
        with pytest.raises(quibex.JSONEncodeError, match="^Recursion limit reached$"):
            quibex.dumps(too_deep, option=option)
    # An empty list or tuple at the 255th level is written without entering it.
    for empty in ([], ()):
        assert quibex.dumps(nest(254, empty, kinds), option=option).count(b"[]") == 1


@pytest.mark.parametrize("depth", [1, 14, 15, 16, 17, 40])
def test_indentation_bytes_at_every_depth(depth):
    # Lines up to 16 levels deep get their spaces from fixed-size stores,
    # deeper ones from a fill: both must give exactly 2 spaces per level.
    doc = nest(depth, [1, {"a": [2, []], "b": {}}, "s"], [list, dict])
    assert quibex.dumps(doc, option=INDENT) == json.dumps(doc, indent=2).encode()


def test_self_containing_containers_hit_the_depth_limit():
    loop = [1]
    loop.append(loop)
    cycle = {"a": 1}
    cycle["self"] = [cycle]
    for value in (loop, cycle):
        with pytest.raises(quibex.JSONEncodeError, match="^Recursion limit reached$"):
            quibex.dumps(value)
    loop.clear()
    cycle.clear()


# --- Differential properties against the json module ------------------------

texts = st.text(alphabet=st.characters(exclude_categories=("Cs",)), max_size=20)
scalars = st.none() | st.booleans() | st.integers(-(2**63), 2**63 - 1) | texts
floats = st.floats(allow_nan=False, allow_infinity=False)


def documents(leaves):
    return st.recursive(
        leaves,
        lambda inner: st.lists(inner, max_size=6) | st.lists(inner, max_size=4).map(tuple)
        | st.dictionaries(texts, inner, max_size=6),
        max_leaves=30,
    )


def as_json_types(value):
    if isinstance(value, (list, tuple)):
        return [as_json_types(v) for v in value]
    if isinstance(value, dict):
        return {k: as_json_types(v) for k, v in value.items()}
    return value


@settings(max_examples=200)
@given(documents(scalars | floats))
def test_round_trip_through_json_module(doc):
    for option in (0, INDENT):
        assert json.loads(quibex.dumps(doc, option=option)) == as_json_types(doc)


@settings(max_examples=200)
@given(documents(scalars))
def test_bytes_equal_json_module_without_floats(doc):
    # Float text is not compared: the json module writes repr(), which differs
    # in form (1e+16 against 1e16, 1.0 against 1.0 and so on) where both are exact.
    assert quibex.dumps(doc) == json.dumps(doc, ensure_ascii=False, separators=(",", ":")).encode()
    assert quibex.dumps(doc, option=INDENT) == json.dumps(doc, ensure_ascii=False, indent=2).encode()


# --- Reference counts ----------------------------------------------------------

class Unsupported:
    pass


def raise_value_error(obj):
    raise ValueError("from default")


ERROR_CASES = [
    pytest.param(lambda u: [1, "s", u], None, "Type is not JSON serializable: Unsupported", id="unsupported"),
    pytest.param(lambda u: {"k": [u]}, raise_value_error, "Type is not JSON serializable: Unsupported",
                 id="default-raises"),
    pytest.param(lambda u: [{"a": u, 2: u}], lambda o: [o.__class__.__name__], "Dict key must be str", id="bad-key"),
    pytest.param(lambda u: [u, {"\ud800": 1}], lambda o: 0, "str is not valid UTF-8: surrogates not allowed",
                 id="surrogate-key"),
    pytest.param(lambda u: nest(255, u, [list, dict]), None, "Recursion limit reached", id="depth"),
    pytest.param(lambda u: nest(255, [u], [list]), None, "Recursion limit reached", id="depth-of-lists"),
    pytest.param(lambda u: [u], lambda o: o, "default serializer exceeds recursion limit", id="default-depth"),
]


@pytest.mark.parametrize("build, default, message", ERROR_CASES)
@pytest.mark.parametrize("option", [0, INDENT])
def test_reference_counts_unchanged_on_error(build, default, message, option):
    u = Unsupported()
    doc = build(u)
    before = (sys.getrefcount(u), sys.getrefcount(doc))
    for _ in range(3):
        with pytest.raises(quibex.JSONEncodeError) as info:
            quibex.dumps(doc, default, option=option)
        assert str(info.value) == message
        del info
    assert (sys.getrefcount(u), sys.getrefcount(doc)) == before


@pytest.mark.parametrize("option", [0, INDENT])
def test_reference_counts_unchanged_on_success(option):
    u = Unsupported()
    inner, key, text = [1, 2.5, None], "k\u00e9y" * 3, "t\n" * 40
    doc = {key: inner, "t": (text, u, [u, {}]), "d": {"x": inner}}
    produced = []

    class Result(list):
        pass

    def default(obj):
        result = Result(["from default"])
        produced.append(weakref.ref(result))  # released once written
        return result

    objects = (u, inner, key, text, doc, doc["t"])
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(3):
        quibex.dumps(doc, default, option=option)
    gc.collect()
    assert [sys.getrefcount(o) for o in objects] == before
    assert all(r() is None for r in produced)


# --- Containers changed or dropped while they are written ------------------------
# Python code runs during a walk only through default (here) and the other
# hooks. These tests also run in a child interpreter with the debug allocator,
# which fills released memory, so that reading an item array or an entry after
# its release crashes rather than passing by luck.


class Hook:
    """An unsupported value whose default runs `action`, then writes "x"."""

    def __init__(self, action):
        self.action = action


def run_hook(obj):
    obj.action()
    return "x"


def dumps_hooked(value, option=0):
    return quibex.dumps(value, run_hook, option=option)


def no_duplicate_keys(pairs):
    keys = [k for k, _ in pairs]
    assert len(keys) == len(set(keys)), keys
    return dict(pairs)


def test_list_cleared_while_written():
    items = ["s" * 100, 2]
    items.insert(0, Hook(lambda: items.clear()))
    assert dumps_hooked(items) == b'["x"]'


def test_list_grown_and_reallocated_while_written():
    items = [None, "b", 3]

    def grow():
        items[1] = "replaced"
        if len(items) < 3000:
            items.extend(Hook(grow) for _ in range(1000))  # moves the item array

    items[0] = Hook(grow)
    # The walk takes the count once: the items added during it are not written.
    assert dumps_hooked(items) == b'["x","replaced",3]'
    items.clear()


def test_list_shrunk_below_position_while_written():
    items = [1, None, 3, 4, 5]
    items[1] = Hook(lambda: items.__delitem__(slice(1, None)))
    assert dumps_hooked(items) == b'[1,"x"]'


def test_enclosing_lists_dropped_while_written():
    # The hook drops the only references to the two lists around its own;
    # the walk goes on over the lists it holds.
    outer = [[[None, 1.5], 2], 3]
    outer[0][0][0] = Hook(lambda: outer.clear())
    assert dumps_hooked(outer) == b'[[["x",1.5],2]]'


SIZE_CHANGED = "dictionary changed size during iteration"
KEYS_CHANGED = "dictionary keys changed during iteration"

# Every dict writer: the plain walk in both layouts, and the writers that
# collect the members first (sorted keys, converted keys, both).
COLLECTING = [quibex.OPT_SORT_KEYS, quibex.OPT_NON_STR_KEYS, quibex.OPT_NON_STR_KEYS | quibex.OPT_SORT_KEYS]
WRITERS = [0, INDENT, *COLLECTING]


def changed_error(out):
    """The RuntimeError text of a dumps that failed as Python's dict iteration does."""
    assert isinstance(out, quibex.JSONEncodeError), out
    cause = out.__cause__
    assert type(cause) is RuntimeError and str(out) == str(cause), (out, cause)
    return str(cause)


@pytest.mark.parametrize(
    "change, plain, collecting",
    [
        # A changed size fails every writer, whatever was written before.
        pytest.param(lambda d: d.clear(), SIZE_CHANGED, SIZE_CHANGED, id="clear"),
        pytest.param(lambda d: d.pop("c"), SIZE_CHANGED, SIZE_CHANGED, id="delete-later"),
        pytest.param(lambda d: d.pop("a"), SIZE_CHANGED, SIZE_CHANGED, id="delete-written"),
        pytest.param(lambda d: d.__setitem__("z", 9), SIZE_CHANGED, SIZE_CHANGED, id="add-one"),
        pytest.param(lambda d: d.update((f"n{i}", i) for i in range(100)), SIZE_CHANGED, SIZE_CHANGED,
                     id="grow-and-resize"),
        # The same size: each member is read as it stands when reached. The
        # plain walk meets an inserted entry where Python's iteration does,
        # and fails when a written key was deleted (here: inserted again, so
        # it would come twice); the collecting writers fail when a member's
        # key is gone by the time it is reached.
        pytest.param(lambda d: (d.pop("a"), d.__setitem__("a", 9)), KEYS_CHANGED,
                     {"a": 1, "b": "x", "c": "s" * 100, "d": [4]}, id="delete-and-reinsert-written"),
        pytest.param(lambda d: (d.pop("c"), d.__setitem__("c", 9)), {"a": 1, "b": "x", "d": [4], "c": 9},
                     {"a": 1, "b": "x", "c": 9, "d": [4]}, id="delete-and-reinsert-later"),
        pytest.param(lambda d: (d.pop("c"), d.__setitem__("a2", 9)), {"a": 1, "b": "x", "d": [4], "a2": 9},
                     KEYS_CHANGED, id="delete-and-insert-same-size"),
        pytest.param(lambda d: (d.pop("a"), d.__setitem__("z", 9)), KEYS_CHANGED, KEYS_CHANGED,
                     id="delete-written-insert-new"),
        pytest.param(lambda d: d.__setitem__("c", "new"), {"a": 1, "b": "x", "c": "new", "d": [4]},
                     {"a": 1, "b": "x", "c": "new", "d": [4]}, id="replace-later-value"),
        pytest.param(lambda d: d.__setitem__("a", "gone"), {"a": 1, "b": "x", "c": "s" * 100, "d": [4]},
                     {"a": 1, "b": "x", "c": "s" * 100, "d": [4]}, id="replace-written-value"),
        # A rebuilt table (the same keys, compacted by the resize that the
        # churn of deletions and insertions causes) keeps every writer sound.
        pytest.param(lambda d: [(d.pop("d"), d.__setitem__("d", i)) for i in range(50)],
                     {"a": 1, "b": "x", "c": "s" * 100, "d": 49}, {"a": 1, "b": "x", "c": "s" * 100, "d": 49},
                     id="churn-and-rebuild"),
    ],
)
@pytest.mark.parametrize("option", WRITERS)
def test_dict_changed_while_written(change, plain, collecting, option):
    # "b" is reached second in every writer's order.
    d = {"a": 1, "b": None, "c": "s" * 100, "d": [4]}
    d["b"] = Hook(lambda: change(d))
    expected = collecting if option in COLLECTING else plain
    try:
        out = dumps_hooked(d, option=option)
    except quibex.JSONEncodeError as error:
        assert changed_error(error) == expected
    else:
        assert json.loads(out, object_pairs_hook=no_duplicate_keys) == expected


@pytest.mark.parametrize("option", COLLECTING)
def test_dict_changed_while_written_releases_keys(option):
    # Keys made at run time, whose only references are the dict's: the hook
    # deletes two, which frees them unless the writer holds them, and
    # inserts others. The writer then looks the later one up and finds it
    # gone (under the debug allocator a freed key would be caught).
    d = dict.fromkeys("".join(("k", str(i))) for i in range(6))
    d["k1"] = Hook(lambda: [(d.pop(f"k{i}"), d.__setitem__(f"n{i}", i)) for i in (0, 2)])
    with pytest.raises(quibex.JSONEncodeError) as info:
        dumps_hooked({"".join(("o", "k")): [d]}, option=option)
    assert changed_error(info.value) == KEYS_CHANGED


@pytest.mark.parametrize("option", WRITERS)
def test_dict_changed_by_the_last_value_fails(option):
    d = {"a": 1, "b": None}
    d["b"] = Hook(lambda: d.__setitem__("z", 9))
    with pytest.raises(quibex.JSONEncodeError) as info:
        dumps_hooked(d, option=option)
    assert changed_error(info.value) == SIZE_CHANGED


@pytest.mark.parametrize("option", WRITERS)
def test_instance_dict_changed_while_written(option):
    @dataclasses.dataclass
    class Point:
        x: object
        y: int = 2

    p = Point(None)
    p.x = Hook(lambda: setattr(p, "extra", 1))
    with pytest.raises(quibex.JSONEncodeError) as info:
        dumps_hooked(p, option=option)
    assert changed_error(info.value) == SIZE_CHANGED


@pytest.mark.parametrize("option", [0, INDENT])
def test_containers_kept_alive_when_every_other_reference_is_dropped(option):
    # Each hook drops the only outside reference to the container that is
    # being written (and to the containers around it); the walk finishes.
    outer = [[None, "after", [5, 6]]]
    outer[0][0] = Hook(lambda: outer.clear())
    assert json.loads(dumps_hooked(outer, option)) == [["x", "after", [5, 6]]]

    holder = {"k": {"a": None, "b": "after"}}
    holder["k"]["a"] = Hook(lambda: holder.__setitem__("k", 0))
    assert json.loads(dumps_hooked([holder], option)) == [{"k": {"a": "x", "b": "after"}}]

    tuples = [(None, "after")]
    tuples[0] = (Hook(lambda: tuples.clear()), "after")
    assert json.loads(dumps_hooked(tuples, option)) == [["x", "after"]]


def test_value_handed_to_default_stays_alive():
    items = [None]

    class Owner:
        def __init__(self):
            self.payload = ["payload"]

    def default(obj):
        items.clear()  # drops the last reference outside this call
        return obj.payload

    items[0] = Owner()
    assert quibex.dumps(items, default) == b'[["payload"]]'


@outside_debug_allocator_child
def test_mutation_cases_under_debug_allocator():
    run_under_debug_allocator(__file__, "written or alive or default_stays or reference_counts", timeout=300)

"""Module surface, Fragment type, dumps arguments and errors, dispatch."""
import collections
import dataclasses
import datetime
import enum
import json
import subprocess
import sys
import textwrap

import pytest

import quibex
from conftest import Color, IntSub, Number, StrSub, nest

OPTIONS = {
    "OPT_APPEND_NEWLINE": 1024,
    "OPT_INDENT_2": 1,
    "OPT_NAIVE_UTC": 2,
    "OPT_NON_STR_KEYS": 4,
    "OPT_OMIT_MICROSECONDS": 8,
    "OPT_PASSTHROUGH_DATACLASS": 2048,
    "OPT_PASSTHROUGH_DATETIME": 512,
    "OPT_PASSTHROUGH_SUBCLASS": 256,
    "OPT_SERIALIZE_DATACLASS": 0,
    "OPT_SERIALIZE_NUMPY": 16,
    "OPT_SERIALIZE_UUID": 0,
    "OPT_SORT_KEYS": 32,
    "OPT_STRICT_INTEGER": 64,
    "OPT_UTC_Z": 128,
}


def test_attributes_in_order_and_values():
    names = [n for n in vars(quibex) if not n.startswith("__") or n == "__version__"]
    assert names == ["__version__", "dumps", "loads", "Fragment", *OPTIONS, "JSONDecodeError", "JSONEncodeError"]
    assert quibex.__version__ == "1.0.0"
    for name, value in OPTIONS.items():
        assert getattr(quibex, name) == value and type(getattr(quibex, name)) is int
    all_bits = 0
    for value in OPTIONS.values():
        all_bits |= value
    assert all_bits == 4095


def test_functions_and_exceptions():
    assert quibex.dumps.__module__ == "quibex" and quibex.dumps.__self__ is quibex
    assert quibex.loads.__self__ is quibex
    assert quibex.dumps.__text_signature__ == "(obj, /, default=None, option=None)"
    assert quibex.dumps.__doc__ == "Serialize Python objects to JSON."
    assert quibex.loads.__text_signature__ == "(obj, /)"
    assert quibex.loads.__doc__ == "Deserialize JSON to Python objects."
    assert type(quibex.dumps).__name__ == "builtin_function_or_method"
    assert quibex.JSONEncodeError is TypeError
    assert quibex.JSONDecodeError.__mro__[1] is json.JSONDecodeError
    assert quibex.JSONDecodeError.__module__ == "quibex"
    assert quibex.JSONDecodeError.__name__ == "JSONDecodeError"


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True)


def test_reimport_after_removal_keeps_working():
    proc = run_python("""
        import sys, quibex
        first = quibex
        del sys.modules["quibex"]
        import quibex
        assert quibex is not first
        del first
        import gc; gc.collect()
        assert quibex.dumps([quibex.Fragment(b"1")]) == b"[1]"
        assert quibex.JSONDecodeError.__mro__[1].__name__ == "JSONDecodeError"
        assert quibex.loads(b"[1]") == [1]
        print("ok")
    """)
    assert proc.stdout.strip() == "ok", proc.stderr


# --- Fragment ---------------------------------------------------------------

FRAGMENT_MESSAGE = "quibex.Fragment() takes exactly 1 positional argument"


@pytest.mark.parametrize("args, kwargs", [((), {}), ((b"1", b"2"), {}), ((), {"contents": b"1"}), ((b"1",), {"x": 1})])
def test_fragment_constructor_errors(args, kwargs):
    with pytest.raises(TypeError) as e:
        quibex.Fragment(*args, **kwargs)
    assert e.value.args == (FRAGMENT_MESSAGE,)


def test_fragment_type_properties():
    f = quibex.Fragment(b"1")
    assert type(f) is quibex.Fragment
    assert quibex.Fragment.__module__ == "quibex" and quibex.Fragment.__name__ == "Fragment"
    with pytest.raises(AttributeError):
        f.contents = 1
    with pytest.raises(AttributeError):
        f.x = 1
    with pytest.raises(TypeError):
        quibex.Fragment.x = 1
    with pytest.raises(TypeError):
        type("F", (quibex.Fragment,), {})
    assert quibex.Fragment(123) is not None


def test_fragment_releases_content(refcount):
    content = object()
    before = refcount(content)
    f = quibex.Fragment(content)
    assert refcount(content) == before + 1
    del f
    assert refcount(content) == before


@pytest.mark.parametrize("value, expected", [
    ([quibex.Fragment(b'{"x":1}')], b'[{"x":1}]'),
    (quibex.Fragment("\u00e9"), "\u00e9".encode()),
    ([quibex.Fragment(b"")], b"[]"),
    ({"a": quibex.Fragment(b"[1, 2]")}, b'{"a":[1, 2]}'),
])
def test_fragment_output(value, expected):
    assert quibex.dumps(value) == expected


def test_fragment_output_indented_is_verbatim():
    assert quibex.dumps([quibex.Fragment(b'{"x":1}')], option=quibex.OPT_INDENT_2) == b'[\n  {"x":1}\n]'


@pytest.mark.parametrize("content", [1, bytearray(b"1"), type("B", (bytes,), {})(b"1"), None])
def test_fragment_content_type_error(content):
    with pytest.raises(quibex.JSONEncodeError) as e:
        quibex.dumps(quibex.Fragment(content))
    assert e.value.args == ("quibex.Fragment's content is not of type bytes or str",)


# --- dumps arguments --------------------------------------------------------

@pytest.mark.parametrize("call, message", [
    (lambda: quibex.dumps(), "dumps() missing 1 required positional argument: 'obj'"),
    (lambda: quibex.dumps(1, option=4096), "Invalid opts"),
    (lambda: quibex.dumps(1, option=-1), "Invalid opts"),
    (lambda: quibex.dumps(1, option=True), "Invalid opts"),
    (lambda: quibex.dumps(1, option=1.0), "Invalid opts"),
    (lambda: quibex.dumps(1, option="1"), "Invalid opts"),
    (lambda: quibex.dumps(1, option=2**40), "Invalid opts"),
    (lambda: quibex.dumps(1, option=enum.IntFlag("F", "A")(1)), "Invalid opts"),
    (lambda: quibex.dumps(1, None, 0, option=0), "dumps() got multiple values for argument: 'option'"),
    (lambda: quibex.dumps(1, None, 0, default=None), "dumps() got multiple values for argument: 'default'"),
    (lambda: quibex.dumps(1, None, default=None), "dumps() got multiple values for argument: 'default'"),
    (lambda: quibex.dumps(1, foo=1), "dumps() got an unexpected keyword argument"),
    (lambda: quibex.dumps(1, option=4096, foo=1), "dumps() got an unexpected keyword argument"),
    (lambda: quibex.dumps(1, None, 0, 0), "dumps() takes at most 3 positional arguments"),
])
def test_argument_errors(call, message):
    with pytest.raises(quibex.JSONEncodeError) as e:
        call()
    assert e.value.args == (message,)
    assert e.value.__cause__ is None


@pytest.mark.parametrize("kwargs", [{"option": 0}, {"option": None}, {"option": 4095 & ~1}, {}, {"default": None}])
def test_valid_arguments(kwargs):
    assert quibex.dumps(1, **kwargs).rstrip(b"\n") == b"1"


@pytest.mark.parametrize("args, kwargs", [((), {}), ((b"1", b"2"), {}), ((), {"obj": b"1"})])
def test_loads_wrong_call_is_a_plain_type_error(args, kwargs):
    with pytest.raises(TypeError) as e:
        quibex.loads(*args, **kwargs)
    assert type(e.value) is TypeError and e.value.args[0].startswith("quibex.loads() takes")


def test_keyword_names_built_at_run_time():
    options = {"".join(["opt", "ion"]): quibex.OPT_APPEND_NEWLINE, "".join(["def", "ault"]): lambda o: 7}
    assert quibex.dumps(object(), **options) == b"7\n"


def test_positional_default_and_option():
    assert quibex.dumps(object(), lambda o: 7, quibex.OPT_APPEND_NEWLINE) == b"7\n"
    assert quibex.dumps(object(), lambda o: 7, option=None) == b"7"


def test_append_newline_and_terminator():
    assert quibex.dumps([], option=quibex.OPT_APPEND_NEWLINE) == b"[]\n"
    out = quibex.dumps("x" * 3000)
    assert len(out) == 3002
    # The byte after the last one is the bytes object's NUL terminator.
    import ctypes
    assert ctypes.string_at(ctypes.c_char_p(out), len(out) + 1)[-1] == 0


# --- dispatch ---------------------------------------------------------------

@pytest.mark.parametrize("value, expected", [
    (True, b"true"), (False, b"false"), (None, b"null"),
    (float("nan"), b"null"), (float("inf"), b"null"), (float("-inf"), b"null"),
    ((), b"[]"), ([], b"[]"), ({}, b"{}"),
    ((1, "a", None, True, 1.5), b'[1,"a",null,true,1.5]'),
])
def test_scalars_and_empty_containers(value, expected):
    assert quibex.dumps(value) == expected
    if len(expected) <= 5:
        assert quibex.dumps(value, option=quibex.OPT_INDENT_2) == expected


@dataclasses.dataclass
class Box:
    x: object


CONTAINERS = {
    "list": lambda v: [v],
    "tuple": lambda v: (v,),
    "dict": lambda v: {"k": v},
    "dataclass": Box,
    "mixed": lambda v: [{"k": v}],
}


@pytest.mark.parametrize("kind", ["list", "tuple", "dict"])
@pytest.mark.parametrize("option", [0, quibex.OPT_INDENT_2])
def test_container_depth_limit(kind, option):
    make = CONTAINERS[kind]
    quibex.dumps(nest(254, make, 1), option=option)
    with pytest.raises(quibex.JSONEncodeError) as e:
        quibex.dumps(nest(255, make, 1), option=option)
    assert e.value.args == ("Recursion limit reached",)


def test_depth_limit_empty_list_passes_empty_dict_fails():
    assert quibex.dumps(nest(254, lambda v: [v], [])).count(b"[") == 255
    with pytest.raises(quibex.JSONEncodeError, match="Recursion limit reached"):
        quibex.dumps(nest(254, lambda v: [v], {}))


def test_mixed_depth_counts_every_container():
    quibex.dumps(nest(127, CONTAINERS["mixed"], 1))
    with pytest.raises(quibex.JSONEncodeError, match="Recursion limit reached"):
        quibex.dumps(nest(127, CONTAINERS["mixed"], [1]))


def test_self_containing_list():
    a = []
    a.append(a)
    with pytest.raises(quibex.JSONEncodeError, match="Recursion limit reached"):
        quibex.dumps(a)


def test_default_recursion_limit():
    calls = []

    def default(o):
        calls.append(o)
        return object()

    with pytest.raises(quibex.JSONEncodeError) as e:
        quibex.dumps(object(), default=default)
    assert e.value.args == ("default serializer exceeds recursion limit",)
    assert len(calls) == 255
    with pytest.raises(quibex.JSONEncodeError, match="default serializer exceeds recursion limit"):
        quibex.dumps(object(), default=lambda o: o)


def test_default_depth_carries_container_depth():
    value = nest(200, lambda v: [v], object())
    with pytest.raises(quibex.JSONEncodeError, match="Recursion limit reached"):
        quibex.dumps(value, default=lambda o: nest(60, lambda v: [v], 1))
    assert quibex.dumps(value, default=lambda o: nest(50, lambda v: [v], 1)).count(b"[") == 250


class DictSub(dict):
    def items(self):
        raise AssertionError


class ListSub(list):
    def __iter__(self):
        return iter([9, 9])


@pytest.mark.parametrize("value, option, expected", [
    (Color.RED, 0, b'"red"'),
    (Color.ONE, 0, b"1"),
    (Color.NESTED, 0, b"[1,2]"),
    (Number.TWO, 0, b"2"),
    (Number.TWO, quibex.OPT_PASSTHROUGH_SUBCLASS, b"2"),
    (StrSub("a\n"), 0, b'"a\\n"'),
    (IntSub(5), 0, b"5"),
    (DictSub(a=1), 0, b'{"a":1}'),
    (ListSub([1, 2]), 0, b"[1,2]"),
    (ListSub([]), 0, b"[]"),
])
def test_subclasses_and_enums(value, option, expected):
    assert quibex.dumps(value, option=option) == expected


@pytest.mark.parametrize("value", [StrSub("a"), IntSub(1), DictSub(), ListSub(), collections.namedtuple("P", "x")(1),
                                   type("F", (float,), {})(1.0)])
def test_subclass_passthrough_goes_to_default(value):
    with pytest.raises(quibex.JSONEncodeError) as e:
        quibex.dumps(value, option=quibex.OPT_PASSTHROUGH_SUBCLASS)
    assert e.value.args == ("Type is not JSON serializable: " + type(value).__name__,)
    assert quibex.dumps(value, default=lambda o: "x", option=quibex.OPT_PASSTHROUGH_SUBCLASS) == b'"x"'


def test_datetime_passthrough_to_default():
    dt = datetime.datetime(2020, 1, 1)
    assert quibex.dumps(dt, default=lambda o: "x", option=quibex.OPT_PASSTHROUGH_DATETIME) == b'"x"'
    assert quibex.dumps([datetime.date(2020, 1, 1)], default=lambda o: "x",
                        option=quibex.OPT_PASSTHROUGH_DATETIME) == b'["x"]'


def test_undecorated_dataclass_subclass_goes_to_default():
    class Child(Box):
        pass

    assert quibex.dumps(Child(1), default=lambda o: "child") == b'"child"'


# --- errors -----------------------------------------------------------------

def test_unsupported_type_messages_and_causes():
    with pytest.raises(quibex.JSONEncodeError) as e:
        quibex.dumps(object())
    assert e.value.args == ("Type is not JSON serializable: object",)
    assert e.value.__cause__ is None

    def fail(o):
        raise ValueError("x")

    with pytest.raises(quibex.JSONEncodeError) as e:
        quibex.dumps(object(), default=fail)
    assert isinstance(e.value.__cause__, ValueError) and e.value.__suppress_context__

    with pytest.raises(quibex.JSONEncodeError) as e:
        quibex.dumps(object(), default=None)
    assert isinstance(e.value.__cause__, TypeError)

    import decimal
    with pytest.raises(quibex.JSONEncodeError, match=r"^Type is not JSON serializable: decimal.Decimal$"):
        quibex.dumps(decimal.Decimal(1))


@pytest.mark.parametrize("value, message, cause", [
    ("\ud800", "str is not valid UTF-8: surrogates not allowed", UnicodeEncodeError),
    ({1: 2}, "Dict key must be str", None),
    ({StrSub("a"): 2}, "Dict key must be str", None),
    ({"\udfff": 2}, "str is not valid UTF-8: surrogates not allowed", UnicodeEncodeError),
    (2**64, "Integer exceeds 64-bit range", None),
    (-(2**63) - 1, "Integer exceeds 64-bit range", None),
])
def test_error_catalogue(value, message, cause):
    with pytest.raises(quibex.JSONEncodeError) as e:
        quibex.dumps(value)
    assert isinstance(e.value, TypeError) and e.value.args == (message,)
    assert type(e.value.__cause__) is cause if cause else e.value.__cause__ is None


def test_strict_integer_message():
    with pytest.raises(quibex.JSONEncodeError) as e:
        quibex.dumps(2**53, option=quibex.OPT_STRICT_INTEGER)
    assert e.value.args == ("Integer exceeds 53-bit range",)


def test_default_result_released_and_called_per_occurrence(refcount):
    marker = object()
    result = ["r"]
    before = refcount(result)
    calls = []

    def default(o):
        calls.append(o is marker)
        return result

    assert quibex.dumps([marker, marker], default=default) == b'[["r"],["r"]]'
    assert calls == [True, True]
    del calls
    assert refcount(result) == before


def test_failed_initialisation_can_be_retried():
    proc = run_python("""
        import sys
        sys.modules["uuid"] = None  # makes the registry's import of uuid fail
        try:
            import quibex
        except ImportError as e:
            print("failed", isinstance(e, ImportError))
        del sys.modules["uuid"]
        sys.modules.pop("quibex", None)
        import quibex
        import uuid
        print(quibex.dumps([1]), quibex.dumps(uuid.UUID(int=1), default=str)[:5])
    """)
    assert proc.stdout.splitlines()[0] == "failed True", proc.stderr
    assert proc.stdout.splitlines()[1].startswith("b'[1]'"), proc.stderr


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="uses /proc and RLIMIT_AS")
@pytest.mark.release_build  # an address-space limit leaves ASan no room for its shadow memory
def test_output_growth_failure_raises_with_memory_error_cause():
    proc = run_python("""
        import resource, quibex
        s = "a" * 30_000_000
        pages = int(open("/proc/self/statm").read().split()[0])
        limit = pages * resource.getpagesize() + 120_000_000
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        try:
            quibex.dumps(s)  # needs a 256 MB buffer
        except TypeError as e:
            print(type(e.__cause__).__name__)
        print(quibex.dumps([1, "x"]))
    """)
    assert proc.stdout.splitlines() == ["MemoryError", "b'[1,\"x\"]'"], proc.stderr


ALLOCATION_SWEEP = """
    import datetime, enum, gc, sys, uuid, quibex
    try:
        import _testcapi
    except ImportError:
        sys.exit(77)
    try:
        import numpy
    except ImportError:
        numpy = None

    class Color(enum.Enum):
        RED = "red"

    def fail(o):
        raise ValueError("no")

    keys = {f"k{i:03}": [i, "v" * 40] for i in range(300, 0, -1)}
    mixed = {1: "a", "b": 2, datetime.date(2024, 1, 2): 3, Color.RED: 4, uuid.UUID(int=5): 5, 2.5: None}
    calls = [
        lambda: quibex.Fragment(b"1"),
        lambda: quibex.dumps([quibex.Fragment(b"[1]"), quibex.Fragment("2")]),
        lambda: quibex.dumps(keys, option=quibex.OPT_SORT_KEYS),
        lambda: quibex.dumps(keys, option=quibex.OPT_SORT_KEYS | quibex.OPT_INDENT_2),
        lambda: quibex.dumps(mixed, option=quibex.OPT_NON_STR_KEYS),
        lambda: quibex.dumps(mixed, option=quibex.OPT_NON_STR_KEYS | quibex.OPT_SORT_KEYS),
        # error paths
        lambda: quibex.dumps(object()),
        lambda: quibex.dumps([object()], default=fail),
        lambda: quibex.dumps("\\ud800"),
        lambda: quibex.dumps({1: 2}),
        lambda: quibex.dumps(2**64),
        lambda: quibex.dumps(quibex.Fragment(1)),
        lambda: quibex.dumps({"a": [[]] * 3}, option=7 << 20),
        lambda: quibex.dumps({(1,): 2}, option=quibex.OPT_NON_STR_KEYS),
    ]
    if numpy is not None:
        calls += [
            lambda: quibex.dumps(numpy.arange(3), option=quibex.OPT_SERIALIZE_NUMPY),
            lambda: quibex.dumps(numpy.array([2**60], "M8[s]"), option=quibex.OPT_SERIALIZE_NUMPY),
        ]

    def reimport():
        sys.modules.pop("quibex", None)  # a failed import has removed it already
        import quibex as again
        return again

    def sweep(calls):
        outcomes = set()
        for call in calls:
            for start in range(0, 20_000):  # fails allocation start + 1, up to the first success
                _testcapi.set_nomemory(start, start + 1)
                try:
                    call()
                    break
                except MemoryError:
                    outcomes.add("MemoryError")
                except (TypeError, ImportError) as e:
                    if e.args == ("memory allocation failed",):
                        # a MemoryError, or the exception whose message found no memory
                        assert e.__cause__ is not None
                        outcomes.add("allocation failed")
                except RuntimeError as e:
                    # importlib's module lock found no memory, before quibex ran
                    if e.args != ("can't allocate lock",):
                        raise
                finally:
                    _testcapi.remove_mem_hooks()
        sys.modules["quibex"] = quibex
        return outcomes

    # The import is swept for aborts but left out of the count: on 3.14 a
    # failed import leaves blocks with the interpreter, as the stdlib's own
    # extension modules' do.
    outcomes = sweep([*calls, reimport] if import_swept else calls)
    gc.collect()
    before = sys.getallocatedblocks()
    sweep(calls)
    gc.collect()
    print(sorted(outcomes), sys.getallocatedblocks() - before)
"""


# Exits 0 where the interpreter's own import machinery survives each failed
# allocation of an import; Debian's CPython 3.13 for ARM64 crashes in it.
STDLIB_IMPORT_SWEEP = """
    import sys, _testcapi
    for start in range(20_000):
        sys.modules.pop("_csv", None)
        _testcapi.set_nomemory(start, start + 1)
        try:
            import _csv
            break
        except (MemoryError, RuntimeError, ImportError):
            pass
        finally:
            _testcapi.remove_mem_hooks()
"""


def test_allocation_failures_raise_and_release_everything():
    import_swept = run_python(STDLIB_IMPORT_SWEEP).returncode == 0
    proc = run_python(f"import_swept = {import_swept}\n" + textwrap.dedent(ALLOCATION_SWEEP))
    if proc.returncode == 77:
        pytest.skip("no _testcapi")
    assert proc.returncode == 0, proc.stderr[-2000:]
    outcomes, grown = proc.stdout.rsplit(" ", 1)
    assert outcomes == "['MemoryError', 'allocation failed']"
    assert int(grown) < 100, proc.stdout  # a leak per failed call grows by thousands of blocks


@pytest.mark.parametrize("before, value", [
    (None, "x" * 70000),
    (None, {"a": ["é" * 30000, 1]}),
    (["x" * 1000] * 3000, {"a": [1, "b"]}),
], ids=["ascii", "two-byte", "after-a-larger-text"])
def test_returned_block_fits_its_text(before, value):
    # A str reserves its worst case, eight bytes per byte, and a call starts
    # with a block of about the last text's length: either way the text may
    # fill a small part of its block.
    import tracemalloc
    quibex.dumps(value)  # a str's UTF-8 form is kept with it from the first call on
    if before is not None:
        quibex.dumps(before)
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        out = quibex.dumps(value)
        held = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert out == json.dumps(value, ensure_ascii=False, separators=(",", ":")).encode()
    assert held <= len(out) + 4096 + 64, held  # text, at most 4 KiB unused, the object header


@pytest.mark.skipif(not sys.platform.startswith(("linux", "freebsd")), reason="ELF shared objects only")
@pytest.mark.release_build  # without link-time optimisation the template instances stay exported
def test_exports_exactly_seven_symbols():
    import shutil
    if shutil.which("nm") is None:
        pytest.skip("nm not installed")
    out = subprocess.run(["nm", "-D", "--defined-only", quibex.__file__], capture_output=True, text=True, check=True)
    names = {line.split()[-1] for line in out.stdout.splitlines() if line.split()[1:2] == ["T"]}
    assert names == {"PyInit_quibex", "quibex_init_exec", "quibex_fragmenttype_new", "quibex_fragment_tp_new",
                     "quibex_fragment_dealloc", "dumps", "loads"}
    others = [line for line in out.stdout.splitlines() if line.split()[-1] not in names]
    assert others == []

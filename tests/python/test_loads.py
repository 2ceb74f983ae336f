"""loads: input acceptance, decode errors, object building and the key cache."""
import gc
import json
import math
import os
import sys
import threading

import pytest
from hypothesis import given, settings, strategies as st

import quibex
from conftest import (BytesSub, StrSub, corpus_bytes, corpus_names, outside_debug_allocator_child,
                      run_under_debug_allocator)

WRONG_TYPE = "Input must be bytes, bytearray, memoryview, or str"
NOT_UTF8 = "str is not valid UTF-8: surrogates not allowed"
EMPTY = "Input is a zero-length, empty document"


def same(a, b):
    """Equality that also requires equal types (1 vs 1.0 vs True) and the sign of zero."""
    if type(a) is not type(b):
        return False
    if type(a) is float:
        return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)
    if type(a) is list:
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if type(a) is dict:
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


def decode_error(obj):
    with pytest.raises(quibex.JSONDecodeError) as info:
        quibex.loads(obj)
    return info.value


# --- input types and shortcuts ------------------------------------------------

class ByteArraySub(bytearray):
    pass


@pytest.mark.parametrize("make", [bytes, bytearray, memoryview, lambda b: b.decode()],
                         ids=["bytes", "bytearray", "memoryview", "str"])
def test_every_input_type(make):
    assert quibex.loads(make(b'{"a": [1, "\xc3\xa9", null]}')) == {"a": [1, "é", None]}


@pytest.mark.parametrize("make", [bytes, bytearray, memoryview, lambda b: b.decode()],
                         ids=["bytes", "bytearray", "memoryview", "str"])
@pytest.mark.parametrize("doc", [
    b'["plain", "tab\\t", "\\u00e9", "x\\u20ac", "\\ud83d\\ude00", "\\u0041", {"k\\u00e9": "\\/"}]',
    b'["\xc3\xa9", "plain", "\\u0041", {"\xe2\x82\xac": "x"}]',
], ids=["ascii-text", "utf8-text"])
def test_strings_of_ascii_and_non_ascii_texts(make, doc):
    # A text that is all ASCII still holds non-ASCII strings through escapes.
    got = quibex.loads(make(doc))
    assert got == json.loads(doc)
    assert [type(s) for s in got[:-1]] == [str] * (len(got) - 1)


def test_non_ascii_str_input_equals_its_bytes():
    text = '["é", {"€": "😀"}]'
    assert quibex.loads(text) == quibex.loads(text.encode()) == ["é", {"€": "😀"}]
    # The first call left the str's UTF-8 form cached; the second reads that.
    assert quibex.loads(text) == ["é", {"€": "😀"}]


def test_two_byte_shortcuts_and_singletons():
    assert quibex.loads(b'""') is ""
    assert quibex.loads("\"\"") is ""
    d1, d2 = quibex.loads(b"{}"), quibex.loads(b"{}")
    assert d1 == {} and type(d1) is dict and d1 is not d2
    l1, l2 = quibex.loads(bytearray(b"[]")), quibex.loads(b"[]")
    assert l1 == [] and type(l1) is list and l1 is not l2
    assert quibex.loads(b" []") == [] and quibex.loads(b"{ }") == {}
    assert quibex.loads(b"null") is None
    assert quibex.loads(b"true") is True
    assert quibex.loads(b"false") is False
    assert quibex.loads(b"12") == 12 and quibex.loads(b'"a"') == "a"


def released_memoryview():
    view = memoryview(b"[1]")
    view.release()
    return view


@pytest.mark.parametrize("obj", [
    1, None, 1.5, [b"[]"], BytesSub(b"[]"), StrSub("[]"), ByteArraySub(b"[]"),
    memoryview(b"[1, 2]")[::2], released_memoryview(),
], ids=["int", "None", "float", "list", "bytes-subclass", "str-subclass", "bytearray-subclass",
        "strided-memoryview", "released-memoryview"])
def test_rejected_inputs(obj):
    e = decode_error(obj)
    assert (e.msg, e.doc, e.pos) == (WRONG_TYPE, "", 0)


def test_memoryview_is_read_by_bytes_whatever_its_format():
    assert quibex.loads(memoryview(b"[1, 2]").cast("H")) == [1, 2]
    assert quibex.loads(memoryview(b"xx[7]yy")[2:5]) == [7]


# --- decode errors --------------------------------------------------------------

ERRORS = [
    # input, message, doc, pos, lineno, colno
    (b"", EMPTY, "", 0, 1, 1),
    ("", EMPTY, "", 0, 1, 1),
    (bytearray(), EMPTY, "", 0, 1, 1),
    (memoryview(b""), EMPTY, "", 0, 1, 1),
    (b"\xff", NOT_UTF8, "", 0, 1, 1),
    (b"[\"\xed\xa0\x80\"]", NOT_UTF8, "", 0, 1, 1),
    (bytearray(b"[\xc3]"), NOT_UTF8, "", 0, 1, 1),
    ("\ud800", NOT_UTF8, "", 0, 1, 1),
    ('["\udfff"]', NOT_UTF8, "", 0, 1, 1),
    (b"   ", "input data is empty", "   ", 0, 1, 1),
    (b"[1,2,]", "trailing comma is not allowed", "[1,2,]", 4, 1, 5),
    ('["é", x]', "unexpected character", '["é", x]', 6, 1, 7),
    ('["é", x]'.encode(), "unexpected character", '["é", x]', 6, 1, 7),
    (b"[\n1,\n]", "trailing comma is not allowed", "[\n1,\n]", 3, 2, 2),
    (b"[1", "unexpected end of data", "[1", 2, 1, 3),
    ('{"😀😀": tru}', "invalid literal", '{"😀😀": tru}', 7, 1, 8),
]


@pytest.mark.parametrize("obj,msg,doc,pos,lineno,colno", ERRORS, ids=[repr(e[0])[:24] for e in ERRORS])
def test_error_table(obj, msg, doc, pos, lineno, colno):
    e = decode_error(obj)
    assert (e.msg, e.doc, e.pos, e.lineno, e.colno) == (msg, doc, pos, lineno, colno)
    assert str(e) == str(json.JSONDecodeError(msg, doc, pos))
    assert type(e) is quibex.JSONDecodeError
    assert isinstance(e, json.JSONDecodeError) and isinstance(e, ValueError)


def test_error_carries_the_whole_document():
    doc = "[" + "1," * 50000 + "]"
    e = decode_error(doc.encode())
    assert e.doc == doc and e.pos == len(doc) - 2


# --- building objects -------------------------------------------------------------

def test_scalars_and_singletons():
    value = quibex.loads(b"[1, -1, 1.5, true, false, null, -0, -0.0, 18446744073709551615]")
    assert same(value, [1, -1, 1.5, True, False, None, 0, -0.0, 18446744073709551615])
    assert value[3] is True and value[4] is False and value[5] is None


@pytest.mark.parametrize("text,length", [
    ("", 0), ("a\u0000b", 3), ("é", 1), ("\u00c0\u00ff", 2),
    ("\u0100", 1), ("€", 1), ("\uffff", 1), ("\U00010000", 1), ("😀x", 2),
], ids=["empty", "ascii-nul", "latin1", "latin1-range", "u0100", "euro", "uffff", "u10000", "emoji"])
def test_strings_get_the_narrowest_kind(text, length):
    got = quibex.loads(json.dumps(text, ensure_ascii=False).encode())
    assert got == text and len(got) == length
    # A concatenation takes the wider kind of its parts, and sys.getsizeof of
    # the fresh result tells the kinds apart.
    assert sys.getsizeof(got + "ab") == sys.getsizeof(text + "ab")


@pytest.mark.parametrize("text", [
    "\n", "a\u0000b", "é", "\u00c0\u00ff", "\u0100", "€", "\uffff", "\U00010000", "😀x", "\x7f\x80",
    "é" * 15 + "\t" + "日" * 9 + "😀",  # raw characters across block boundaries, then escapes
    "x" * 300_000 + "é",                  # longer than the escapes' code point scratch
], ids=["ascii", "ascii-nul", "latin1", "latin1-range", "u0100", "euro", "uffff", "u10000", "emoji",
        "7f-80", "mixed", "long"])
def test_escaped_strings_get_the_narrowest_kind(text):
    # Every character escaped, and the same with the non-ASCII ones raw and
    # only the control characters escaped.
    for doc in (json.dumps([text, {"k": text}]), json.dumps([text, {"k": text}], ensure_ascii=False)):
        for got in quibex.loads(doc.encode()), quibex.loads(doc):
            assert got == [text, {"k": text}]
            assert sys.getsizeof(got[0] + "ab") == sys.getsizeof(text + "ab")


def test_allocation_failure_in_escaped_strings_raises_memory_error():
    _testcapi = pytest.importorskip("_testcapi")
    doc = json.dumps(["\u00e9t\u00e9 \n" * 40, "x" * 5000 + "\u20ac"] * 3).encode()
    for start in range(0, 1000):
        _testcapi.set_nomemory(start, start + 1)
        try:
            got = quibex.loads(doc)
        except MemoryError:
            continue
        finally:
            _testcapi.remove_mem_hooks()
        assert got == json.loads(doc)
        return
    pytest.fail("no call succeeded")


@pytest.mark.parametrize("doc,want", [
    (b'{"a":1,"a":2}', {"a": 2}),
    (b'{"a":1,"b":2,"a":3}', {"a": 3, "b": 2}),
    (b'{"a":[1],"a":{"x":[2,3]}}', {"a": {"x": [2, 3]}}),
    (b'{"k0":0,"k1":1,"k2":2,"k3":3,"k4":4,"k5":5,"k6":6,"k7":7,"k0":8,"k9":9}', None),
])
def test_duplicate_keys_keep_the_last_value(doc, want):
    got = quibex.loads(doc)
    assert same(got, json.loads(doc))
    if want is not None:
        assert list(got) == list(want) and got == want


LONG_KEY = "long key " * 20  # past what the key cache keeps: each occurrence its own str


@pytest.mark.parametrize("doc", [
    b'{"%s":1,"b":2,"%s":3}' % (LONG_KEY.encode(), LONG_KEY.encode()),
    r'{"\u00e9t\u00e9":1,"été":2,"\ud83d\ude00":3,"😀":4}'.encode(),
], ids=["long", "escaped"])
def test_duplicate_keys_equal_but_not_the_same_object(doc):
    got = quibex.loads(doc)
    assert same(got, json.loads(doc)) and len(got) == 2


@pytest.mark.parametrize("repeats", [6, 100_000])
def test_repeated_keys_leave_a_table_for_the_distinct_ones(repeats):
    got = quibex.loads(b"{" + b'"a":0,' * repeats + b'"b":1}')
    assert got == {"a": 0, "b": 1} and sys.getsizeof(got) == sys.getsizeof({"a": 0, "b": 1})


# Sizes around each table size and index width: 8 slots hold 5 keys, 16
# hold 10, 1-byte indices up to 128 slots, 2-byte up to 32768, then 4-byte.
@pytest.mark.parametrize("members", [0, 1, 5, 6, 10, 11, 85, 86, 21845, 21846])
def test_dict_sizes(members):
    keys = [f"key{i}" for i in range(members)]
    doc = json.dumps({k: [i, {"n": i}] for i, k in enumerate(keys)}).encode()
    got = quibex.loads(doc)
    assert same(got, json.loads(doc))  # each key found where lookups probe
    assert same(got.copy(), got) and same(dict(got), got)  # copies of the table as made
    assert "key-1" not in got and got.get(f"key{members}") is None
    # Still an ordinary, consistent dict: it grows, shrinks and copies.
    for k in keys[::3]:
        del got[k]
    got.update({f"more{i}": i for i in range(members + 10)})
    copied = got.copy()
    assert copied == got and len(got) == members - len(keys[::3]) + members + 10
    assert list(copied) == [*(k for i, k in enumerate(keys) if i % 3), *(f"more{i}" for i in range(members + 10))]


# A dict is tracked by the collector exactly when the interpreter's own
# insertions would track it (on 3.14+ every dict is).
@pytest.mark.parametrize("doc", [b'{"a":1}', b'{"a":"s","b":null}', b'{"a":{}}', b'{"a":[]}',
                                 b'{"a":[],"a":1}', b'{"a":{"b":1}}'])
def test_dict_tracked_by_the_collector_as_the_interpreter_would(doc):
    assert gc.is_tracked(quibex.loads(doc)) == gc.is_tracked(json.loads(doc))


@outside_debug_allocator_child
def test_dicts_under_debug_allocator():
    run_under_debug_allocator(__file__, "dict_sizes or duplicate_keys or repeated_keys or corpus", timeout=600)


def test_key_hashes_are_the_interpreters():
    keys = ["", "a", "é", "€", "😀", "k" * 64, "k" * 65, "é" * 40]
    got = quibex.loads(json.dumps({k: 1 for k in keys}, ensure_ascii=False).encode())
    for k in got:
        assert hash(k) == hash(k.encode().decode())
        assert got[k.encode().decode()] == 1


def nest(depth, opener=b"[", closer=b"]"):
    return opener * depth + closer * depth


def depth_of(value):
    depth = 0
    while isinstance(value, (list, dict)) and value:
        value = value[0] if isinstance(value, list) else next(iter(value.values()))
        depth += 1
    return depth + (1 if isinstance(value, (list, dict)) else 0)


def test_depth_limit():
    assert depth_of(quibex.loads(nest(1024))) == 1024
    objects = b'{"a":' * 1023 + b"[]" + b"}" * 1023
    assert depth_of(quibex.loads(objects)) == 1024
    e = decode_error(nest(1025))
    assert (e.msg, e.pos) == ("array and object recursion depth exceeded", 1025)


def test_deep_document_on_a_small_thread_stack():
    # The walk keeps its own frames: 1024 levels need no deep C stack.
    doc = b'[{"k":' * 512 + b"0" + b"}]" * 512
    results = []
    previous = threading.stack_size(128 * 1024)
    try:
        worker = threading.Thread(target=lambda: results.append(depth_of(quibex.loads(doc))))
        worker.start()
        worker.join()
    finally:
        threading.stack_size(previous)
    assert results == [1024]


@pytest.mark.parametrize("head", [b"[  ", b"[\n  "])
@pytest.mark.parametrize("item", [b"1", b"[]", b'""', b"{}"])
def test_dense_text_after_an_indented_start_fits_the_buffer(head, item):
    # Text that starts like indented JSON gets a smaller first estimate of
    # its records; dense text after that must still fit the parse buffer.
    for n in (938, 5000, 100000):
        assert len(quibex.loads(head + (item + b",") * n + item + b"]")) == n + 1


def test_allocation_failure_raises_memory_error():
    _testcapi = pytest.importorskip("_testcapi")
    # Lists and dicts both with and without containers inside (filled by
    # different paths of the builder).
    doc = json.dumps([{"id": i, "name": f"n{i}", "tags": ["x" * 70, 1.5, 2**40], "long key " * 10: None,
                       "flat": {"f": 2.5, "s": "y" * 70, "long key " * 9: None}, "empties": [[], {}]}
                      for i in range(20)]).encode()
    want = json.loads(doc)

    def fail_each_allocation_in_turn():
        outcomes = set()
        # set_nomemory(start, start + 1) fails allocation start + 1 of the
        # call; every failure, whichever allocation it hits, is a MemoryError.
        for start in range(0, 5000):  # up to the first success
            _testcapi.set_nomemory(start, start + 1)
            try:
                got = quibex.loads(doc)
            except MemoryError:
                outcomes.add("MemoryError")
                continue
            finally:
                _testcapi.remove_mem_hooks()
                assert gc.isenabled()
            assert same(got, want)
            return outcomes

    assert fail_each_allocation_in_turn() == {"MemoryError"}
    gc.collect()
    before = sys.getallocatedblocks()
    fail_each_allocation_in_turn()
    gc.collect()
    assert sys.getallocatedblocks() - before < 20, "partial results leaked"


@pytest.mark.parametrize("enabled", [True, False])
def test_collector_is_left_as_found(enabled):
    doc = b'[' + b'[{"a":[1]}],' * 20000 + b'[]]'
    events = []
    gc.callbacks.append(lambda phase, info: events.append(phase))
    (gc.enable if enabled else gc.disable)()
    try:
        events.clear()
        result = quibex.loads(doc)
        during = len(events)
        assert gc.isenabled() == enabled
        with pytest.raises(quibex.JSONDecodeError):
            quibex.loads(b'[[1],[2],')
        assert gc.isenabled() == enabled
    finally:
        gc.callbacks.pop()
        gc.enable()
    assert len(result) == 20001
    # 60000 new containers would start several collections on the way; none
    # runs inside the call (3.12 and later only ever collect between
    # bytecodes, which the count cannot tell from inside it).
    if sys.version_info < (3, 12):
        assert during == 0


# --- key cache ----------------------------------------------------------------------

def test_keys_are_shared_across_dicts_and_calls():
    a = quibex.loads(b'[{"id":1},{"id":2}]')
    k0, k1 = (next(iter(d)) for d in a)
    assert k0 is k1
    b = quibex.loads('{"id": 3}')
    assert next(iter(b)) is k0


@pytest.mark.parametrize("length,cached", [(64, True), (65, False)])
def test_only_keys_up_to_64_bytes_are_cached(length, cached):
    key = "é" * (length // 2) + "x" * (length % 2)
    assert len(key.encode()) == length
    doc = json.dumps([{key: 1}, {key: 2}], ensure_ascii=False).encode()
    first, second = (next(iter(d)) for d in quibex.loads(doc))
    assert first == second == key
    assert (first is second) is cached


def test_escaped_and_plain_keys_share_the_cached_str():
    escaped = next(iter(quibex.loads(rb'{"\u0061":1}')))
    plain = next(iter(quibex.loads(b'{"a":1}')))
    assert escaped is plain


def test_empty_key_is_the_empty_str():
    assert next(iter(quibex.loads(b'{"":1}'))) is ""


def test_many_distinct_keys_stay_correct():
    held = []
    for batch in range(4):
        doc = json.dumps({f"key-{batch}-{i}": i for i in range(3000)}).encode()
        held.append((quibex.loads(doc), json.loads(doc)))
    # Every key evicted from the cache is still valid in the dicts holding it.
    for got, want in held:
        assert same(got, want)
        assert all(hash(k) == hash(str(k)) for k in got)


def test_reference_counts_are_stable():
    doc = b'[{"id":1,"flag":true,"none":null,"s":""},{"id":2,"flag":false,"none":null,"s":"x"}]'
    key = next(iter(quibex.loads(doc)[0]))

    def churn():
        for _ in range(1000):
            quibex.loads(doc)
            try:
                quibex.loads(b'[{"id":1,"flag":tru}]')
            except quibex.JSONDecodeError:
                pass

    churn()
    before = [sys.getrefcount(o) for o in (key, None, True, False, "")]
    churn()
    after = [sys.getrefcount(o) for o in (key, None, True, False, "")]
    assert after == before


def test_no_memory_growth_over_repeated_calls():
    docs = [corpus_bytes("twitter"), b'{"a":[1,2,{"b":null}]}', b"[1,2,", b"\xff", "[\"é\", x]"]

    def run():
        for doc in docs:
            try:
                quibex.loads(doc)
            except quibex.JSONDecodeError:
                pass

    for _ in range(3):
        run()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(50):
        run()
    gc.collect()
    assert sys.getallocatedblocks() - before < 50


# --- whole documents against the stdlib -----------------------------------------------

@pytest.mark.parametrize("name", corpus_names())
def test_corpus_matches_stdlib(name):
    data = corpus_bytes(name)
    want = json.loads(data)
    assert same(quibex.loads(data), want)
    assert same(quibex.loads(data.decode()), want)


json_text = st.text(st.characters(blacklist_categories=("Cs",)))
json_values = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1)
    | st.floats(allow_nan=False, allow_infinity=False) | json_text,
    lambda inner: st.lists(inner) | st.dictionaries(json_text, inner),
    max_leaves=40,
)


EXAMPLES = 2000 if os.environ.get("QUIBEX_EXHAUSTIVE") else 150


@settings(max_examples=EXAMPLES, deadline=None)
@given(json_values, st.booleans(), st.sampled_from([None, 0, 2]))
def test_random_documents_match_stdlib(value, ensure_ascii, indent):
    text = json.dumps(value, ensure_ascii=ensure_ascii, indent=indent)
    want = json.loads(text)
    assert same(quibex.loads(text), want)
    assert same(quibex.loads(text.encode()), want)


# Pieces of JSON text, valid and not, that random byte strings are made of.
TOKENS = [b"[", b"]", b"{", b"}", b",", b":", b" ", b"\n", b'"', b'"a"', b'"\\u00e9"', b'"\\ud800"',
          b'"\\ud83d\\ude00"', b"\\", b"\\u", b"0", b"1", b"-", b"01", b"1.5", b"1e5", b"1e999", b".",
          b"e", b"true", b"false", b"null", b"tru", b"NaN", b"Infinity", b"\xc3\xa9", b"\xe2\x82",
          b"\xed\xa0\x80", b"\xff", b"\x00", b"\t", b"\xef\xbb\xbf", b"/"]


def stdlib_is_lenient(data, value):
    """Inputs the stdlib accepts and quibex rejects on purpose."""
    if json.detect_encoding(data) != "utf-8":  # UTF-16/32 input or a BOM
        return True

    def bad(v):
        if type(v) is float:
            return not math.isfinite(v)
        if type(v) is str:
            return any("\ud800" <= c <= "\udfff" for c in v)
        if type(v) is list:
            return any(map(bad, v))
        if type(v) is dict:
            return any(bad(k) or bad(x) for k, x in v.items())
        return False

    return bad(value)


def as_quibex_reads(value):
    """The stdlib's result with integers outside the 64-bit range as floats, as quibex reads them."""
    if type(value) is int and not -(2**63) <= value < 2**64:
        return float(value)
    if type(value) is list:
        return [as_quibex_reads(v) for v in value]
    if type(value) is dict:
        return {k: as_quibex_reads(v) for k, v in value.items()}
    return value


def outcome(loads, data):
    try:
        return True, loads(data)
    except ValueError as e:  # JSONDecodeError, UnicodeDecodeError
        return False, e


@settings(max_examples=EXAMPLES * 5, deadline=None)
@given(st.lists(st.sampled_from(TOKENS), max_size=24).map(b"".join))
def test_random_bytes_same_verdict_as_stdlib(data):
    ok, value = outcome(quibex.loads, data)
    std_ok, std_value = outcome(json.loads, data)
    if ok:
        assert std_ok and same(value, as_quibex_reads(std_value))
        assert isinstance(value, (dict, list, str, int, float, type(None)))
    elif std_ok:
        assert stdlib_is_lenient(data, std_value), std_value
    else:
        assert isinstance(value, quibex.JSONDecodeError)
    try:
        text = data.decode()
    except UnicodeDecodeError:
        return
    str_ok, str_value = outcome(quibex.loads, text)
    assert str_ok == ok and (not ok or same(str_value, value))

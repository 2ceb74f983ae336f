"""String output: escapes, raw UTF-8, the three ways of reaching the bytes, errors."""
import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quibex

CASES = [
    pytest.param("", b'""', id="empty"),
    pytest.param("\x00", b'"\\u0000"', id="nul"),
    pytest.param("\x0b\x1f\x01", b'"\\u000b\\u001f\\u0001"', id="u-escapes-lowercase"),
    pytest.param("\b\t\n\f\r", b'"\\b\\t\\n\\f\\r"', id="named-controls"),
    pytest.param('"\\', b'"\\"\\\\"', id="quote-backslash"),
    pytest.param("\x7f/ ~", b'"\x7f/ ~"', id="del-solidus-unescaped"),
    pytest.param("\xe9", b'"\xc3\xa9"', id="latin1-kind"),
    pytest.param("\u4e2d\u0080", b'"\xe4\xb8\xad\xc2\x80"', id="two-byte-kind"),
    pytest.param("\U0001f600", b'"\xf0\x9f\x98\x80"', id="four-byte-kind"),
    pytest.param("a\u00e9\n" * 20, b'"' + b"a\xc3\xa9\\n" * 20 + b'"', id="escapes-among-non-ascii"),
]


class Sub(str):
    """A str subclass whose methods must not be consulted."""

    def __str__(self):
        return "wrong"

    def encode(self, *args, **kwargs):
        return b"wrong"


@pytest.mark.parametrize("text, want", CASES)
def test_escaping_as_value_key_item_and_subclass(text, want):
    assert quibex.dumps(text) == want
    assert quibex.dumps([text, text]) == b"[" + want + b"," + want + b"]"
    assert quibex.dumps({text: text}) == b"{" + want + b":" + want + b"}"
    assert quibex.dumps(Sub(text)) == want
    assert quibex.dumps([Sub(text)], option=quibex.OPT_INDENT_2) == b"[\n  " + want + b"\n]"


def test_cached_utf8_form_gives_the_same_bytes():
    # The first call encodes and caches the UTF-8 form; the second reads the cache.
    text = "\u00e9\u4e2d\"" * 50 + "\x00"
    first = quibex.dumps(text)
    assert quibex.dumps(text) == first == json.dumps(text, ensure_ascii=False).encode()


@pytest.mark.parametrize(
    "value",
    [
        pytest.param("\ud800", id="value"),
        # Python keeps "\ud83d\ude00" as two lone surrogates, not as U+1F600.
        pytest.param("\ud83d\ude00", id="surrogate-pair"),
        pytest.param(["ok", "a\udfffb"], id="list-item"),
        pytest.param({"k": "\udc80"}, id="dict-value"),
        pytest.param({"\ud83d": 1}, id="dict-key"),
        pytest.param(Sub("\ud800"), id="subclass"),
    ],
)
@pytest.mark.parametrize("option", [0, quibex.OPT_INDENT_2])
def test_lone_surrogate_fails_with_unicode_error_as_cause(value, option):
    with pytest.raises(quibex.JSONEncodeError) as info:
        quibex.dumps(value, option=option)
    assert str(info.value) == "str is not valid UTF-8: surrogates not allowed"
    assert isinstance(info.value.__cause__, UnicodeEncodeError)


def test_long_strings_grow_the_buffer_once():
    assert quibex.dumps("\x00" * 10_000) == b'"' + b"\\u0000" * 10_000 + b'"'
    assert len(quibex.dumps("\x00" * 10_000)) == 60_002
    ascii_text = "abcdefghij" * 20_000
    assert quibex.dumps(ascii_text) == b'"' + ascii_text.encode() + b'"'
    assert quibex.dumps([ascii_text, "\U0001f600" * 50_000]) == json.dumps(
        [ascii_text, "\U0001f600" * 50_000], ensure_ascii=False, separators=(",", ":")
    ).encode()


# Lone surrogates are the one place where the formats differ: json passes them
# through into text that is not UTF-8, dumps refuses them (tested above).
no_surrogates = st.characters(exclude_categories=("Cs",))
escape_heavy = st.sampled_from(['"', "\\", "\x00", "\x1f", "\n", "\x7f", "/", "a", "\u00e9", "\U0001f600"])
texts = st.text(alphabet=no_surrogates) | st.text(alphabet=escape_heavy | no_surrogates, max_size=200)


@settings(max_examples=500)
@given(texts)
def test_matches_json_module(text):
    want = json.dumps(text, ensure_ascii=False).encode()
    assert quibex.dumps(text) == want
    assert quibex.dumps({text: Sub(text)}) == b"{" + want + b":" + want + b"}"

"""python -m quibex: reformatting, validation, errors and large input."""
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

import quibex
from conftest import corpus_bytes

DOC = b'{"b": [1, 2.5, {"x": null}], "a": "\xc3\xa9", "c": {}, "d": []}'
VALUE = quibex.loads(DOC)


# The child imports the very package under test, from any working directory.
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join([str(Path(quibex.__file__).parents[1]),
                                                   os.environ.get("PYTHONPATH", "")]))


def cli(*args, stdin=b"", cwd=None, stdout=subprocess.PIPE):
    return subprocess.run([sys.executable, "-m", "quibex", *map(str, args)], input=stdin, stdout=stdout,
                          stderr=subprocess.PIPE, cwd=cwd, env=ENV, timeout=300)


def assert_clean_failure(proc, status=1):
    assert proc.returncode == status
    assert b"Traceback" not in proc.stderr


@pytest.mark.parametrize("flags, option", [
    ((), quibex.OPT_INDENT_2),
    (("--compact",), 0),
    (("--sort-keys",), quibex.OPT_INDENT_2 | quibex.OPT_SORT_KEYS),
    (("--compact", "--sort-keys", "--newline"), quibex.OPT_SORT_KEYS | quibex.OPT_APPEND_NEWLINE),
    (("--newline",), quibex.OPT_INDENT_2 | quibex.OPT_APPEND_NEWLINE),
])
def test_flags_select_dumps_options(flags, option):
    proc = cli(*flags, stdin=DOC)
    assert (proc.returncode, proc.stderr) == (0, b"")
    assert proc.stdout == quibex.dumps(VALUE, option=option)


def test_indents_like_json_tool():
    proc = cli(stdin=DOC)
    assert proc.stdout.decode() == json.dumps(VALUE, indent=2, ensure_ascii=False)


json_values = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | st.text(),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=8), inner, max_size=4),
    max_leaves=12)


@settings(max_examples=5, deadline=None)
@given(st.lists(json_values, min_size=1, max_size=12), st.booleans())
def test_many_files_match_stdlib_text(tmp_path_factory, values, sort_keys):
    # Floats are left out: their shortest text differs from repr() in exponent form.
    folder = tmp_path_factory.mktemp("docs")
    names = []
    for i, value in enumerate(values):
        names.append(folder / f"{i}.json")
        names[-1].write_text(json.dumps(value))
    proc = cli(*(["--sort-keys"] if sort_keys else []), *names)
    assert (proc.returncode, proc.stderr) == (0, b"")
    expected = "\n".join(json.dumps(v, indent=2, ensure_ascii=False, sort_keys=sort_keys) for v in values)
    assert proc.stdout.decode() == expected


def test_files_and_stdin_in_order(tmp_path):
    (tmp_path / "a.json").write_bytes(b"[1]")
    proc = cli("--compact", "a.json", "-", "a.json", stdin=b' {"s": 2} ', cwd=tmp_path)
    assert proc.stdout == b'[1]\n{"s":2}\n[1]'


@pytest.mark.parametrize("doc, line, column, message", [
    (b"[1,\n 2,\n]", 2, 3, "trailing comma is not allowed"),
    (b"", 1, 1, "Input is a zero-length, empty document"),
    (b"   ", 1, 1, "input data is empty"),
    (b'{"a": 1', 1, 8, "unexpected end of data"),
    (b'["\xc3\xa9", x]', 1, 7, "unexpected character"),
    (b"NaN", 1, 1, "unexpected character"),
    (b"[1] [2]", 1, 5, "unexpected content after document"),
])
@pytest.mark.parametrize("mode", [(), ("--validate",)])
def test_invalid_input_reports_line_and_column(doc, line, column, message, mode):
    proc = cli(*mode, stdin=doc)
    assert_clean_failure(proc)
    assert proc.stdout == b""
    assert proc.stderr.decode() == f"<stdin>:{line}:{column}: {message}\n"


@pytest.mark.parametrize("doc, line, column, message", [
    (b"\xff", 1, 1, "not valid UTF-8 at byte offset 0: invalid start byte 0xFF"),
    (b'[\n  "\xc3\xa9\xe2\x82", 1]', 2, 5, "not valid UTF-8 at byte offset 7: invalid continuation byte 0xE2 0x82"),
    (b'["a\xed\xa0\x80"]', 1, 4, "not valid UTF-8 at byte offset 3: invalid continuation byte 0xED"),
    (b'[1, "\xf0\x9f', 1, 6, "not valid UTF-8 at byte offset 5: unexpected end of data 0xF0 0x9F"),
    (b"\xef\xbb\xbf[1]", 1, 1, "the input begins with a UTF-8 byte-order mark (EF BB BF): JSON text is UTF-8 without one"),
    (b"\xff\xfe[\x00]\x00", 1, 1, "the input begins with a UTF-16 little-endian byte-order mark (FF FE): "
                                 "JSON text is UTF-8 without one"),
    (b"\x00\x00\xfe\xff\x00\x00\x00[", 1, 1, "the input begins with a UTF-32 big-endian byte-order mark "
                                          "(00 00 FE FF): JSON text is UTF-8 without one"),
])
def test_input_that_is_not_utf8_is_located(doc, line, column, message):
    proc = cli(stdin=doc)
    assert_clean_failure(proc)
    assert proc.stderr.decode() == f"<stdin>:{line}:{column}: {message}\n"


def closed(fd):
    """A child set-up that starts the tool with file descriptor fd closed."""
    return lambda: os.close(fd)


def cli_with_closed(fd, *args, cwd=None):
    return subprocess.run([sys.executable, "-m", "quibex", *map(str, args)], stdin=subprocess.DEVNULL,
                          capture_output=True, cwd=cwd, env=ENV, timeout=300, preexec_fn=closed(fd))


def test_closed_standard_streams(tmp_path):
    (tmp_path / "good.json").write_bytes(b"[1]")
    (tmp_path / "bad.json").write_bytes(b"[1,]")
    proc = cli_with_closed(0)
    assert_clean_failure(proc)
    assert (proc.stdout, proc.stderr) == (b"", b"<stdin>: standard input is closed\n")
    proc = cli_with_closed(1, "good.json", cwd=tmp_path)
    assert_clean_failure(proc)
    assert proc.stderr == b"python -m quibex: standard output is closed\n"
    assert cli_with_closed(1, "--validate", "good.json", cwd=tmp_path).returncode == 0
    # Errors are never written into the documents of standard output.
    proc = cli_with_closed(2, "--compact", "bad.json", "good.json", cwd=tmp_path)
    assert_clean_failure(proc)
    assert proc.stdout == b"[1]"


def test_every_input_is_processed_after_an_error(tmp_path):
    (tmp_path / "good.json").write_bytes(b"[1]")
    (tmp_path / "bad.json").write_bytes(b"[1,]")
    (tmp_path / "dir").mkdir()
    proc = cli("--compact", "--newline", "bad.json", "missing.json", "dir", "good.json", cwd=tmp_path)
    assert_clean_failure(proc)
    assert proc.stdout == b"[1]\n"
    assert proc.stderr.decode().splitlines() == [
        "bad.json:1:3: trailing comma is not allowed",
        "missing.json: No such file or directory",
        "dir: Is a directory",
    ]


def test_validate_writes_nothing(tmp_path):
    (tmp_path / "a.json").write_bytes(DOC)
    proc = cli("--validate", "a.json", "-", stdin=b"[]", cwd=tmp_path)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, b"", b"")


def test_nesting_beyond_dumps_limit():
    doc = b"[" * 300 + b"]" * 300
    assert cli("--validate", stdin=doc).returncode == 0
    proc = cli(stdin=doc)
    assert_clean_failure(proc)
    assert proc.stderr == b"<stdin>: cannot write the document: Recursion limit reached\n"


@pytest.mark.parametrize("args", [("--compact", "--validate"), ("--indent",)])
def test_usage_errors(args):
    proc = cli(*args)
    assert_clean_failure(proc, status=2)
    assert proc.stderr.startswith(b"usage: python -m quibex")


def test_closed_output_pipe_is_not_an_error_trace(tmp_path):
    path = tmp_path / "big.json"
    path.write_bytes(quibex.dumps(list(range(1_000_000))))
    proc = subprocess.Popen([sys.executable, "-m", "quibex", str(path)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=ENV)
    assert proc.stdout.read(10) == b"[\n  0,\n  1"
    proc.stdout.close()
    stderr = proc.stderr.read()
    assert proc.wait(timeout=60) == 1
    assert stderr == b""


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("size", [10, 1_000_000])
def test_failed_output_is_reported(tmp_path, size):
    # Small output fails when flushed, large output part-way through a write.
    path = tmp_path / "a.json"
    path.write_bytes(quibex.dumps(list(range(size))))
    with open("/dev/full", "wb") as full:
        proc = cli(path, path, stdout=full)
    assert_clean_failure(proc)
    assert proc.stderr == b"python -m quibex: cannot write the output: No space left on device\n"


LARGE_MB = 400 if os.environ.get("QUIBEX_EXHAUSTIVE") else 24


def test_large_input(tmp_path):
    # A compact document written by dumps comes back byte for byte.
    unit = corpus_bytes("twitter")
    value = [quibex.loads(unit)] * (LARGE_MB * 2**20 // len(unit) + 1)
    data = quibex.dumps(value)
    path = tmp_path / "large.json"
    path.write_bytes(data)
    del value
    proc = cli("--compact", path)
    assert proc.returncode == 0 and proc.stderr == b""
    assert proc.stdout == data
    del proc
    assert cli("--validate", path).returncode == 0

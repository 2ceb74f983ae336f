"""User code that mypy --strict checks against quibex's stubs (test_typing.py).

Every line ending in `# type: ignore[...]` is a misuse the stubs must reject:
with --warn-unused-ignores (part of --strict) mypy reports the ignore as
unused when the stubs let the misuse pass.
"""
import dataclasses
import datetime
import json
from typing import Any, Literal, assert_type

import quibex


@dataclasses.dataclass
class Point:
    x: int
    y: int


def default(obj: Any) -> Any:
    if isinstance(obj, set):
        return sorted(obj)
    raise TypeError


def encode_all() -> list[bytes]:
    option = quibex.OPT_INDENT_2 | quibex.OPT_SORT_KEYS | quibex.OPT_APPEND_NEWLINE
    return [
        quibex.dumps({"a": [1, 2.5, None, True]}),
        quibex.dumps(Point(1, 2), default, option),
        quibex.dumps({1: datetime.date(2024, 1, 2)}, option=quibex.OPT_NON_STR_KEYS),
        quibex.dumps([quibex.Fragment(b"[1]"), quibex.Fragment("{}")], default=default, option=option),
        quibex.dumps({"s": {1, 2}}, default=lambda o: list(o), option=None),
    ]


def decode_all(raw: bytes) -> None:
    assert_type(quibex.loads(raw), Any)
    quibex.loads(bytearray(raw))
    quibex.loads(memoryview(raw))
    quibex.loads(raw.decode())


def constants_and_errors() -> str:
    assert_type(quibex.OPT_INDENT_2, Literal[1])
    assert_type(quibex.__version__, str)
    try:
        quibex.loads(b"[1,]")
    except quibex.JSONDecodeError as e:
        assert_type(e, quibex.JSONDecodeError)
        problem: json.JSONDecodeError = e
        return f"{problem.msg} at {e.lineno}:{e.colno} ({e.pos})"
    try:
        quibex.dumps(object())
    except quibex.JSONEncodeError as e:
        assert_type(e, TypeError)
        return str(e)
    return ""


def misuse() -> None:
    quibex.loads(1)  # type: ignore[arg-type]
    quibex.loads([b"[]"])  # type: ignore[arg-type]
    quibex.dumps(1, option="1")  # type: ignore[arg-type]
    quibex.dumps(1, default=1)  # type: ignore[arg-type]
    quibex.dumps(1, None, 0, 0)  # type: ignore[call-arg]
    quibex.dumps(obj=1)  # type: ignore[call-arg]
    quibex.dumps(1, indent=2)  # type: ignore[call-arg]
    quibex.Fragment(1)  # type: ignore[arg-type]
    quibex.Fragment(contents=b"1")  # type: ignore[call-arg]
    text: str = quibex.dumps(1)  # type: ignore[assignment]
    quibex.OPT_INDENT_2 = 2  # type: ignore[misc]

    class Sub(quibex.Fragment):  # type: ignore[misc]
        pass

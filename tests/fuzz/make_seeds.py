"""Writes the seed corpus of every fuzzing harness into one directory per
harness: small documents, strings and floats taken from the bundled JSON
corpora (bench/corpus/*.json.xz) and the literals of the Python tests.

Usage: python make_seeds.py OUT_DIR
"""

import ast
import hashlib
import json
import lzma
import random
import struct
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
MAX_DOCUMENT = 4096  # longest seed document, in bytes
PER_CORPUS = 300  # documents, strings and floats kept per corpus file


def corpora():
    for path in sorted((ROOT / "bench" / "corpus").glob("*.json.xz")):
        yield lzma.decompress(path.read_bytes())


def test_literals():
    """bytes and str constants of the Python tests, as UTF-8 bytes."""
    for path in sorted((ROOT / "tests" / "python").glob("test_*.py")):
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.Constant) and isinstance(node.value, (bytes, str)):
                value = node.value
                if isinstance(value, str):
                    value = value.encode("utf-8", "surrogatepass")
                if 0 < len(value) <= MAX_DOCUMENT:
                    yield value


def walk(value):
    yield value
    if isinstance(value, dict):
        for key, item in value.items():
            yield key
            yield from walk(item)
    elif isinstance(value, list):
        for item in value:
            yield from walk(item)


def sample(items, rng):
    items = list(dict.fromkeys(items))
    rng.shuffle(items)
    return items[:PER_CORPUS]


def seeds(rng):
    """Maps each harness to its list of seed inputs."""
    documents, strings, floats = [], [], []
    for text in corpora():
        values = list(walk(json.loads(text)))
        pieces = (json.dumps(v, ensure_ascii=False, indent=rng.choice([None, 2])).encode() for v in values)
        documents += sample((p for p in pieces if len(p) <= MAX_DOCUMENT), rng)
        strings += sample((v.encode() for v in values if isinstance(v, str)), rng)
        floats += sample((v for v in values if isinstance(v, float)), rng)
    literals = list(test_literals())
    text_like = documents + literals
    float_bits = [struct.pack("<d", f) for f in floats] + [struct.pack("<f", f) for f in floats if abs(f) < 3e38]
    return {
        "reader": text_like,
        "loads_dumps": [b"\x01" + d for d in text_like],  # an odd first byte selects loads
        "utf8": strings + literals,
        "escape": strings + literals,
        "build_str": strings + literals,
        "float": float_bits,
    }


def main():
    out = Path(sys.argv[1])
    for harness, inputs in seeds(random.Random(1)).items():
        directory = out / harness
        directory.mkdir(parents=True, exist_ok=True)
        for data in inputs:
            (directory / hashlib.sha1(data).hexdigest()).write_bytes(data)


if __name__ == "__main__":
    main()

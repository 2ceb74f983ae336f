"""The work of bench/pool.py, run in each worker (interpreter or thread):
loads and dumps of one corpus with one library. A pool pickles the task by
name, so the worker interpreters import this module."""
import importlib
import lzma
from pathlib import Path

CORPUS = Path(__file__).resolve().parent / "corpus"

_texts = {}  # corpus name -> bytes, read once per worker


def round_trip(library, name):
    """Loads the corpus and writes it again; the bytes handled (text in and out)."""
    data = _texts.get(name)
    if data is None:
        with lzma.open(CORPUS / f"{name}.json.xz") as f:
            data = _texts[name] = f.read()
    lib = importlib.import_module(library)
    out = lib.dumps(lib.loads(data))
    return len(data) + len(out)

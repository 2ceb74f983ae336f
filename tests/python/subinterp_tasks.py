"""Work that the subinterpreter tests hand to the interpreters of a pool.

A pool pickles the callable by name, so each worker interpreter imports
this module (the tests put its directory on PYTHONPATH).
"""
import lzma

import quibex


def round_trip(path):
    """The corpus at `path` loaded and written again, compact and indented with sorted keys."""
    with lzma.open(path) as f:
        data = f.read()
    value = quibex.loads(data)
    return quibex.dumps(value), quibex.dumps(value, option=quibex.OPT_INDENT_2 | quibex.OPT_SORT_KEYS)

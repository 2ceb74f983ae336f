"""The libraries compared with quibex, configured to produce equivalent JSON.

Every JSON peer writes UTF-8 without ASCII escaping and with compact
separators (or indent=2 / sorted keys in those modes), so all of them produce
the same document as quibex up to number formatting and whitespace. `marshal`
is not JSON: it is the floor for building and writing the same Python
objects, timed with the same JSON size as the others.
"""
import dataclasses
import datetime
import enum
import json
import marshal
import uuid
from importlib import metadata

import jiter
import msgspec
import rapidjson
import simplejson
import ujson

import quibex

# Column order of every table and chart; quibex first, the floor last.
LIBRARIES = ("quibex", "json", "msgspec", "ujson", "rapidjson", "simplejson", "jiter", "marshal")

# Distribution names, for the versions recorded with the results.
DISTRIBUTIONS = {"quibex": "quibex", "msgspec": "msgspec", "ujson": "ujson",
                 "rapidjson": "python-rapidjson", "simplejson": "simplejson", "jiter": "jiter"}

# The dumps modes every corpus is timed in, with the quibex option of each.
DUMPS_MODES = {"dumps": 0, "indent": quibex.OPT_INDENT_2, "sort": quibex.OPT_SORT_KEYS}


def versions():
    found = {}
    for library, dist in DISTRIBUTIONS.items():
        try:
            found[library] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            found[library] = "?"
    return found


class Peer:
    """One library: how it writes compact, indented and sorted JSON and reads it.

    `dumps` maps a mode to (function of the object, note), or to None and the
    reason the library cannot do that mode; it is None for a parser only. `decode` turns the library's
    output back into Python objects for validation.
    """

    def __init__(self, name, dumps, loads, decode=json.loads, loads_input=None):
        self.name = name
        self.dumps = dumps
        self.loads = loads                  # (function of the input, note)
        self.decode = decode
        # Makes the loads input from (json bytes, object); None: the JSON bytes.
        self.loads_input = loads_input


def _json_dumps(o):
    return json.dumps(o, ensure_ascii=False, separators=(",", ":")).encode()


def _simplejson_dumps(o):
    return simplejson.dumps(o, ensure_ascii=False, separators=(",", ":")).encode()


def _ujson_dumps(o):
    return ujson.dumps(o, ensure_ascii=False, escape_forward_slashes=False).encode()


def _rapidjson_dumps(o):
    return rapidjson.dumps(o, ensure_ascii=False).encode()


def _msgspec_indent(o):
    return msgspec.json.format(msgspec.json.encode(o), indent=2)


def _msgspec_sorted(o):
    return msgspec.json.encode(o, order="sorted")


def _quibex_indent(o):
    return quibex.dumps(o, option=quibex.OPT_INDENT_2)


def _quibex_sorted(o):
    return quibex.dumps(o, option=quibex.OPT_SORT_KEYS)


PEERS = {
    "quibex": Peer("quibex", {
        "dumps": (quibex.dumps, ""),
        "indent": (_quibex_indent, ""),
        "sort": (_quibex_sorted, ""),
    }, (quibex.loads, "")),
    "json": Peer("json", {
        "dumps": (_json_dumps, ""),
        "indent": (lambda o: json.dumps(o, ensure_ascii=False, indent=2).encode(), ""),
        "sort": (lambda o: json.dumps(o, ensure_ascii=False, separators=(",", ":"),
                                      sort_keys=True).encode(), ""),
    }, (json.loads, "")),
    "msgspec": Peer("msgspec", {
        "dumps": (msgspec.json.encode, ""),
        "indent": (_msgspec_indent, "encode+format"),
        "sort": (_msgspec_sorted, 'order="sorted"'),
    }, (msgspec.json.decode, "")),
    "ujson": Peer("ujson", {
        "dumps": (_ujson_dumps, ""),
        "indent": (lambda o: ujson.dumps(o, ensure_ascii=False, escape_forward_slashes=False,
                                         indent=2).encode(), ""),
        "sort": (lambda o: ujson.dumps(o, ensure_ascii=False, escape_forward_slashes=False,
                                       sort_keys=True).encode(), ""),
    }, (ujson.loads, "")),
    "rapidjson": Peer("rapidjson", {
        "dumps": (_rapidjson_dumps, ""),
        "indent": (lambda o: rapidjson.dumps(o, ensure_ascii=False, indent=2).encode(), ""),
        "sort": (lambda o: rapidjson.dumps(o, ensure_ascii=False, sort_keys=True).encode(), ""),
    }, (rapidjson.loads, "")),
    "simplejson": Peer("simplejson", {
        "dumps": (_simplejson_dumps, ""),
        "indent": (lambda o: simplejson.dumps(o, ensure_ascii=False, indent=2).encode(), ""),
        "sort": (lambda o: simplejson.dumps(o, ensure_ascii=False, separators=(",", ":"),
                                            sort_keys=True).encode(), ""),
    }, (simplejson.loads, "")),
    "jiter": Peer("jiter", None, (jiter.from_json, "")),  # a parser only
    "marshal": Peer("marshal", {
        "dumps": (marshal.dumps, "floor"),
        "indent": (None, "no indented output"),
        "sort": (None, "no key sorting"),
    }, (marshal.loads, "floor, marshal data"), decode=marshal.loads,
        loads_input=lambda data, obj: marshal.dumps(obj)),
}


# ---------------------------------------------------------------------------
# Records of datetimes, UUIDs, enums and dataclasses.

def record_default(o):
    """What a stdlib-json user writes to get the output quibex and msgspec give."""
    if isinstance(o, datetime.datetime):
        text = o.isoformat()
        return text[:-6] + "Z" if text.endswith("+00:00") else text
    if isinstance(o, (datetime.date, datetime.time)):
        return o.isoformat()
    if isinstance(o, uuid.UUID):
        return str(o)
    if isinstance(o, enum.Enum):
        return o.value
    if dataclasses.is_dataclass(o):
        return vars(o)
    raise TypeError(f"Object of type {type(o).__name__} is not JSON serializable")


# library -> (function, note) for the records case; None and the reason when
# the library cannot write such objects.
RECORD_DUMPS = {
    "quibex": (lambda o: quibex.dumps(o, option=quibex.OPT_UTC_Z), "native, OPT_UTC_Z"),
    "json": (lambda o: json.dumps(o, default=record_default, ensure_ascii=False,
                                  separators=(",", ":")).encode(), "default="),
    "msgspec": (msgspec.json.encode, "native"),
    "ujson": (lambda o: ujson.dumps(o, default=record_default, ensure_ascii=False,
                                    escape_forward_slashes=False).encode(), "default="),
    "rapidjson": (lambda o: rapidjson.dumps(o, default=record_default,
                                            ensure_ascii=False).encode(), "default="),
    "simplejson": (lambda o: simplejson.dumps(o, default=record_default, ensure_ascii=False,
                                              separators=(",", ":")).encode(), "default="),
    "marshal": (None, "cannot hold datetime, UUID, enum or dataclass"),
}

# The same for dicts with int keys.
NON_STR_KEYS_DUMPS = {
    "quibex": (lambda o: quibex.dumps(o, option=quibex.OPT_NON_STR_KEYS), "OPT_NON_STR_KEYS"),
    "json": (_json_dumps, ""),
    "msgspec": (msgspec.json.encode, ""),
    "ujson": (_ujson_dumps, ""),
    "rapidjson": (lambda o: rapidjson.dumps(o, ensure_ascii=False,
                                            mapping_mode=rapidjson.MM_COERCE_KEYS_TO_STRINGS).encode(),
                  "MM_COERCE_KEYS_TO_STRINGS"),
    "simplejson": (_simplejson_dumps, ""),
    "marshal": (marshal.dumps, "floor"),
}

# Compact writers tried on numpy arrays, directly when the library accepts an
# array, else through ndarray.tolist().
ARRAY_DUMPS = {
    "json": _json_dumps,
    "msgspec": msgspec.json.encode,
    "ujson": _ujson_dumps,
    "rapidjson": _rapidjson_dumps,
    "simplejson": _simplejson_dumps,
}


def quibex_numpy(a):
    return quibex.dumps(a, option=quibex.OPT_SERIALIZE_NUMPY)


def quibex_tolist(a):
    return quibex.dumps(a.tolist())

"""Fast, exact JSON serialisation (dumps) and parsing (loads)."""
import json
from collections.abc import Callable
from typing import Any, Final, final

__version__: Final[str]

def dumps(obj: Any, /, default: Callable[[Any], Any] | None = None, option: int | None = None) -> bytes:
    """Serialize Python objects to JSON."""

def loads(obj: bytes | bytearray | memoryview | str, /) -> Any:
    """Deserialize JSON to Python objects."""

@final
class Fragment:
    """JSON text serialised elsewhere, copied verbatim into the output of dumps."""

    def __new__(cls, contents: bytes | str, /) -> Fragment: ...

OPT_APPEND_NEWLINE: Final = 1024
OPT_INDENT_2: Final = 1
OPT_NAIVE_UTC: Final = 2
OPT_NON_STR_KEYS: Final = 4
OPT_OMIT_MICROSECONDS: Final = 8
OPT_PASSTHROUGH_DATACLASS: Final = 2048
OPT_PASSTHROUGH_DATETIME: Final = 512
OPT_PASSTHROUGH_SUBCLASS: Final = 256
OPT_SERIALIZE_DATACLASS: Final = 0
OPT_SERIALIZE_NUMPY: Final = 16
OPT_SERIALIZE_UUID: Final = 0
OPT_SORT_KEYS: Final = 32
OPT_STRICT_INTEGER: Final = 64
OPT_UTC_Z: Final = 128

class JSONDecodeError(json.JSONDecodeError): ...

JSONEncodeError = TypeError

"""Vantra cbor: Python objects to CBOR bytes."""
from typing import Dict, List, SupportsFloat, SupportsInt, Tuple, Union

from typing_extensions import SupportsIndex

__version__: str

def dumps(
    value: Union[
        bool, float, int, List[object], Tuple[object, ...], Dict[object, object], bytes, str,
        SupportsIndex, SupportsInt, SupportsFloat, None,
    ],
    indefinite: bool = True,
    max_depth: int = 0,
) -> bytes:
    """Dump a Python object to CBOR: definite or indefinite arrays and maps,
    nesting limited to max_depth levels (0: no limit)."""

# ---- Encoder ---------------------------------------------------------------------

from typing import Any, Callable, Optional

from typing_extensions import Literal, Protocol, final

class _Writable(Protocol):
    def write(self, data: bytes, /) -> object: ...

@final
class Encoder:
    """Encodes Python objects to CBOR with options checked once, at construction."""

    def __new__(
        cls,
        *,
        indefinite: bool = False,
        deterministic: bool = False,
        default: Optional[Callable[[Any], object]] = None,
        datetime_as: Literal["text", "epoch"] = "text",
        max_depth: SupportsIndex = 0,
    ) -> "Encoder": ...
    @property
    def indefinite(self) -> bool: ...
    @property
    def deterministic(self) -> bool: ...
    @property
    def default(self) -> Optional[Callable[[Any], object]]: ...
    @property
    def datetime_as(self) -> Literal["text", "epoch"]: ...
    @property
    def max_depth(self) -> int: ...
    def encode(self, value: object, /) -> bytes:
        """Return the CBOR encoding of value as bytes."""
    def dump(self, value: object, fp: _Writable) -> None:
        """Write the CBOR encoding of value to fp, a binary file."""

# ---- Values CBOR has and Python lacks ----------------------------------------------

@final
class Tag:
    def __new__(cls, tag: int, value: object) -> "Tag": ...
    @property
    def tag(self) -> int: ...
    @property
    def value(self) -> object: ...

@final
class Simple:
    def __new__(cls, value: int) -> "Simple": ...
    @property
    def value(self) -> int: ...

@final
class _UndefinedType:
    def __new__(cls) -> "_UndefinedType": ...

undefined: _UndefinedType

class CBORDecodeError(ValueError): ...

"""Vantra cbor: Python objects to CBOR bytes, and CBOR bytes back to Python objects."""
from typing import IO, Any, Callable, Dict, Mapping, Optional, Sequence, SupportsFloat, SupportsInt, Union

from typing_extensions import Buffer, Literal, Protocol, SupportsIndex, TypeAlias, final

__version__: str

# What dumps writes: numbers (NumPy's too, through __index__, __int__ or
# __float__), text, bytes, None, and containers of these. Read-only container
# types, so that a list[int] or a dict[str, float] is accepted; a mapping's key
# type is invariant, hence Any there.
_Encodable: TypeAlias = Union[
    None, bool, int, float, str, bytes, SupportsIndex, SupportsInt, SupportsFloat,
    Sequence["_Encodable"], Mapping[Any, "_Encodable"],
]

def dumps(value: _Encodable, indefinite: bool = True, max_depth: int = 0) -> bytes:
    """Dump a Python object to CBOR: definite or indefinite arrays and maps,
    nesting limited to max_depth levels (0: no limit)."""

# ---- Reading CBOR ------------------------------------------------------------

class CBORError(Exception): ...

class CBORDecodeError(CBORError, ValueError):
    pos: int

class CBORDecodeEOF(CBORDecodeError, EOFError): ...
class CBOREncodeError(CBORError): ...
class CBOREncodeTypeError(CBOREncodeError, TypeError): ...
class CBOREncodeValueError(CBOREncodeError, ValueError): ...

@final
class Tag:
    """A CBOR tag without a built-in meaning."""
    def __new__(cls, tag: int, value: object) -> "Tag": ...
    @property
    def tag(self) -> int: ...
    @property
    def value(self) -> Any: ...

@final
class Simple:
    """A CBOR simple value that Python has no value for."""
    def __new__(cls, value: int) -> "Simple": ...
    @property
    def value(self) -> int: ...

@final
class UndefinedType:
    """The type of undefined."""
    def __new__(cls) -> "UndefinedType": ...
    def __bool__(self) -> bool: ...

undefined: UndefinedType

def loads(
    data: Buffer,
    *,
    max_depth: int = 0,
    tag_hook: Optional[Callable[[int, Any], Any]] = None,
    object_hook: Optional[Callable[[Dict[Any, Any]], Any]] = None,
    str_errors: Literal["strict", "replace", "surrogateescape"] = "strict",
    allow_duplicate_keys: bool = True,
) -> Any:
    """Decode the one CBOR item that data holds."""

def load(
    fp: IO[bytes],
    *,
    max_depth: int = 0,
    tag_hook: Optional[Callable[[int, Any], Any]] = None,
    object_hook: Optional[Callable[[Dict[Any, Any]], Any]] = None,
    str_errors: Literal["strict", "replace", "surrogateescape"] = "strict",
    allow_duplicate_keys: bool = True,
) -> Any:
    """Read the whole binary file object fp and decode it."""

def dump(value: _Encodable, fp: IO[bytes], indefinite: bool = True, max_depth: int = 0) -> None:
    """Write dumps(value, indefinite, max_depth) to fp."""

# ---- Encoder ---------------------------------------------------------------------

class _Writable(Protocol):
    def write(self, __data: bytes) -> object: ...

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
        value_sharing: bool = False,
        string_referencing: bool = False,
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
    @property
    def value_sharing(self) -> bool: ...
    @property
    def string_referencing(self) -> bool: ...
    def encode(self, __value: object) -> bytes:
        """Return the CBOR encoding of value as bytes."""
    def dump(self, value: object, fp: _Writable) -> None:
        """Write the CBOR encoding of value to fp, a binary file."""

# ---- Diagnostic notation ---------------------------------------------------------

class DiagDecodeError(CBORError, ValueError):
    msg: str
    doc: str
    pos: int
    lineno: int
    colno: int

def diag(data: Buffer, *, indent: Optional[int] = None, sequence: bool = False) -> str:
    """The diagnostic notation of the CBOR in data, with encoding indicators."""

def from_diag(text: str, *, sequence: bool = False) -> bytes:
    """The CBOR that the diagnostic notation in text describes."""

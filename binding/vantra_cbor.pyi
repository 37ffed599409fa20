"""Vantra cbor: Python objects to CBOR bytes."""
from typing import Any, Mapping, Sequence, SupportsFloat, SupportsInt, Union

from typing_extensions import SupportsIndex, TypeAlias

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

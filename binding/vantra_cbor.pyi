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

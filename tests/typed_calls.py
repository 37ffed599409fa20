"""Checked by mypy and pyright, never run: every call is accepted but those marked
`# error`, which each checker must report on that very line."""
from __future__ import annotations

import datetime
import io
from decimal import Decimal
from fractions import Fraction

import numpy as np

import vantra_cbor

nums: list[int] = [1, 2]
floats: tuple[float, ...] = (1.5,)
doc: dict[str, list[float]] = {"a": [2.5]}
rows: list[dict[str, tuple[int, str]]] = []
keyed: dict[int, bytes] = {}

data: bytes = vantra_cbor.dumps(nums)
vantra_cbor.dumps(floats, indefinite=False, max_depth=3)
vantra_cbor.dumps(doc)
vantra_cbor.dumps(rows)
vantra_cbor.dumps(keyed)
vantra_cbor.dumps([None, True, 1, 2.5, "text", b"bytes", (), {}])
vantra_cbor.dumps(np.int64(5))
vantra_cbor.dumps(np.float32(1.5))
vantra_cbor.dumps(np.bool_(True))
vantra_cbor.dumps({"n": [np.uint8(1), np.float64(0.5)]})
vantra_cbor.dumps(Decimal("1.5"))
vantra_cbor.dumps(Fraction(1, 2))
version: str = vantra_cbor.__version__
value = vantra_cbor.loads(data, max_depth=3, tag_hook=lambda tag, content: content)
vantra_cbor.loads(bytearray(data))
vantra_cbor.loads(memoryview(data))
number: int = vantra_cbor.Tag(1, "x").tag + vantra_cbor.Simple(16).value
flag: bool = not vantra_cbor.undefined
items: list[object] = list(vantra_cbor.iter_loads(bytearray(data), max_depth=2))
first = vantra_cbor.load(io.BytesIO(data), tag_hook=lambda tag, content: content)
with open(__file__, "rb") as fp:
    items += vantra_cbor.iter_load(fp)
decoder = vantra_cbor.StreamDecoder(max_item_size=1 << 20, max_depth=4)
decoder.feed(data)
decoder.feed(memoryview(data))
items += decoder
held: int = decoder.pending + decoder.max_item_size
zoned = vantra_cbor.Encoder(deterministic="length-first", timezone=datetime.timezone.utc)
zone: datetime.tzinfo | None = zoned.timezone

vantra_cbor.dumps({1, 2})  # error
vantra_cbor.dumps(datetime.datetime(2024, 1, 1))  # error
vantra_cbor.dumps(object())  # error
vantra_cbor.dumps([{1, 2}])  # error
vantra_cbor.dumps({"when": datetime.date(2024, 1, 1)})  # error
vantra_cbor.dumps(1, max_depth="deep")  # error
vantra_cbor.dumps(1, indefinite=None)  # error
text: str = vantra_cbor.dumps(1)  # error
vantra_cbor.loads("text")  # error
vantra_cbor.loads(data, max_depth="deep")  # error
vantra_cbor.iter_loads("text")  # error
vantra_cbor.load(b"bytes")  # error
vantra_cbor.StreamDecoder(1024)  # error
decoder.feed("text")  # error
vantra_cbor.Encoder(deterministic="bytewise")  # error
vantra_cbor.Encoder(timezone="UTC")  # error

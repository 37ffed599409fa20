"""What vantra_cbor.dumps writes for a few values."""
import vantra_cbor


def spaced(data):
    """Hex bytes one by one (bytes.hex takes a separator only from Python 3.8)."""
    return " ".join("%02x" % byte for byte in data)


print("vantra_cbor", vantra_cbor.__version__)
for value in [True, None, 1000, -500, 2**64 - 1, 1.5, 0.1, float("inf"), "héllo", b"\x00\x01"]:
    print("%-22r %s" % (value, spaced(vantra_cbor.dumps(value))))

document = {"a": [1, 2.5]}
print("%r, indefinite=False: %s" % (document, spaced(vantra_cbor.dumps(document, indefinite=False))))
print("%r:                   %s" % (document, spaced(vantra_cbor.dumps(document))))
try:
    vantra_cbor.dumps([[1]], max_depth=1)
except RuntimeError as e:
    print("[[1]], max_depth=1:   RuntimeError:", e)

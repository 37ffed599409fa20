"""What vantra_cbor.dumps writes for a few values."""
import vantra_cbor

print("vantra_cbor", vantra_cbor.__version__)
for value in [True, None, 1000, -500, 2**64 - 1, 1.5, 0.1, float("inf"), "héllo", b"\x00\x01"]:
    print("%-22r %s" % (value, vantra_cbor.dumps(value).hex(" ")))

document = {"a": [1, 2.5]}
print("%r, indefinite=False: %s" % (document, vantra_cbor.dumps(document, indefinite=False).hex(" ")))
print("%r:                   %s" % (document, vantra_cbor.dumps(document).hex(" ")))
try:
    vantra_cbor.dumps([[1]], max_depth=1)
except RuntimeError as e:
    print("[[1]], max_depth=1:   RuntimeError:", e)

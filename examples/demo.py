"""What vantra_cbor.dumps writes for a few values."""
import vantra_cbor

print("vantra_cbor", vantra_cbor.__version__)
for value in [True, None, 1000, -500, 2**64 - 1, 1.5, 0.1, float("inf"), "héllo", b"\x00\x01"]:
    print("%-22r %s" % (value, vantra_cbor.dumps(value).hex(" ")))

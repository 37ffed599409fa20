"""python -m vantra_cbor: the command line (see _cli)."""
import sys

from vantra_cbor._cli import main

if __name__ == "__main__":
    sys.exit(main())

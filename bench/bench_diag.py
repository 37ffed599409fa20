"""Speed of diag and from_diag against cbor-diag's cbor2diag and diag2cbor, on a document
of about 10 MB.

    python bench/bench_diag.py [--size MB] [--runs N] [--out DIR]

The document is a list of records such as a log or an API holds: maps with text keys,
small and large integers, floats of each width, text with some non-ASCII, byte strings,
nested arrays, a tag. Each side is timed N times (best kept) on the same bytes, and on
the same text: vantra_cbor's own diag output, which cbor-diag also reads (pretty=False
for cbor2diag: its plainest and fastest form). Each reading is checked to give the
document's bytes back. Writes diag.md to DIR (default bench/results).
"""
import argparse
import random
import sys
import time
from importlib.metadata import version
from pathlib import Path

import cbor_diag

import vantra_cbor


def document(megabytes):
    rng = random.Random(8949)
    enc = vantra_cbor.Encoder()
    words = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "\u00e9t\u00e9", "\u6c34"]
    records, size, i = [], 0, 0
    while size < megabytes * 1_000_000:
        record = {
            "id": i, "user": "%s-%d" % (rng.choice(words), rng.randrange(10**6)),
            "score": rng.random() * 100, "ratio": rng.choice([0.5, 1.25, -2.0, 0.1]),
            "big": rng.randrange(2**40, 2**63), "neg": -rng.randrange(1, 10**9),
            "tags": [rng.choice(words) for _ in range(rng.randrange(4))],
            "blob": bytes(rng.randrange(256) for _ in range(rng.randrange(24))),
            "ok": rng.random() < 0.5, "none": None,
            "when": vantra_cbor.Tag(1, 1_600_000_000 + i),
            "nested": {"a": [1, 2, [3, 4.5]], "b": {"c": "d"}},
        }
        data = enc.encode(record)
        records.append(record)
        size += len(data)
        i += 1
    return enc.encode(records)


def best(fn, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return min(times), result


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=float, default=10.0, help="document size in MB (default 10)")
    parser.add_argument("--runs", type=int, default=3, help="timings per side, best kept (default 3)")
    parser.add_argument("--out", default=str(Path(__file__).parent / "results"))
    args = parser.parse_args()

    data = document(args.size)
    text = vantra_cbor.diag(data)
    rows = []
    ours, got = best(lambda: vantra_cbor.diag(data), args.runs)
    assert got == text
    theirs, got = best(lambda: cbor_diag.cbor2diag(data, pretty=False), args.runs)
    assert vantra_cbor.from_diag(got) == data
    rows.append(("diag (CBOR to text)", ours, theirs))
    ours, got = best(lambda: vantra_cbor.from_diag(text), args.runs)
    assert got == data
    theirs, got = best(lambda: cbor_diag.diag2cbor(text), args.runs)
    assert got == data
    rows.append(("from_diag (text to CBOR)", ours, theirs))

    lines = ["Document: %.1f MB of CBOR, %.1f MB of diagnostic notation; best of %d runs; Python %s."
             % (len(data) / 1e6, len(text.encode()) / 1e6, args.runs, sys.version.split()[0]), "",
             "| | vantra_cbor %s | cbor-diag %s | faster |" % (vantra_cbor.__version__, version("cbor-diag")),
             "|---|---:|---:|---:|"]
    for name, ours, theirs in rows:
        lines.append("| %s | %.0f ms | %.0f ms | %.1fx |" % (name, ours * 1e3, theirs * 1e3, theirs / ours))
    lines += ["", "Target: at least 10 times as fast as cbor-diag both ways: %s (%.1fx at the least)."
              % ("met" if all(theirs >= 10 * ours for _, ours, theirs in rows) else "MISSED",
                 min(theirs / ours for _, ours, theirs in rows))]
    report = "\n".join(lines) + "\n"
    print(report)
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    (out / "diag.md").write_text(report)


if __name__ == "__main__":
    main()

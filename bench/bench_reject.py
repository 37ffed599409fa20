"""What rejecting malformed input costs: vantra_cbor.loads against cbor2.loads.

    python bench/bench_reject.py [--quick] [--out DIR] [--baseline BUILD]

The corpus is made from valid documents (records, nested arrays, texts) spoiled in
the ways hostile or broken input is: cut short, a reserved byte, invalid UTF-8, a
stray break, a map used as a key, bad tag content. Only documents that both libraries
reject are timed. Each library rejects the whole corpus once per call; the table gives
the time per document (median of interleaved samples), and the truncated 64-deep array
on its own.
"""
import argparse
import random
import sys
import time
from pathlib import Path

import cbor2

import vantra_cbor
from bench import calibrate, environment, fmt_time, interleaved, load_build, make_timer, markdown_table


def valid_documents(rng):
    records = [{"id": i, "name": "user%d" % i, "tags": ["a", "é", "bcd"], "score": i / 7,
                "nested": {"deep": [[i, None, True], {"k": -i}]}} for i in range(4)]
    return [vantra_cbor.dumps(x, indefinite=rng.random() < 0.3) for x in [
        records, [[[[[[1, 2, 3]]]]]], {"text": "h\u00e9llo w\u00f6rld " * 4, "blob": bytes(40)},
        list(range(30)), [1.5, -2.25, 1e300, "x" * 30], {"a": {"b": {"c": {"d": [None] * 5}}}},
    ]]


def spoiled(rng, doc):
    """doc made malformed in one of several ways."""
    at = rng.randrange(1, len(doc))
    kind = rng.randrange(6)
    if kind == 0:
        return doc[:at]  # cut short
    if kind == 1:
        return doc[:at] + b"\x1c" + doc[at + 1:]  # reserved additional information
    if kind == 2:
        return doc[:at] + b"\x62\xc3\x28" + doc[at:]  # invalid UTF-8
    if kind == 3:
        return doc[:at] + b"\xff" + doc[at:]  # stray break
    if kind == 4:
        return b"\xa1\xa1\x01\x02\x03"  # a map as a map key
    return b"\x82" + doc[:at] + b"\xc0\x01"  # tag 0 over an int, after a cut


def corpus(seed=1, size=400):
    rng = random.Random(seed)
    docs = valid_documents(rng)
    out = []
    while len(out) < size:
        bad = spoiled(rng, rng.choice(docs))
        for loads in (vantra_cbor.loads, cbor2.loads):
            try:
                loads(bad)
                break
            except Exception:
                pass
        else:
            out.append(bad)
    return out


def reject_all(loads, docs):
    def run():
        for doc in docs:
            try:
                loads(doc)
            except Exception:
                pass
    return run


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer, shorter samples")
    parser.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "results")
    parser.add_argument("--baseline", type=Path, help="another build of vantra_cbor, timed alongside")
    args = parser.parse_args()
    samples, target_ns = (7, 10e6) if args.quick else (21, 25e6)
    libraries = [("vantra", vantra_cbor.loads), ("cbor2", cbor2.loads)]
    if args.baseline:
        libraries.insert(1, ("baseline", load_build(args.baseline).loads))
    env = environment()
    print("\n".join(env))
    cases = [("corpus of %d malformed documents" % len(corpus()), corpus()), ("truncated 64-deep array", [b"\x81" * 64])]
    rows, per_document = [], {}
    for title, docs in cases:
        timers = {}
        for name, loads in libraries:
            timer = make_timer(reject_all(loads, docs), "f()", None)
            timers[name] = (timer, calibrate(timer, target_ns))
        res = {name: t / len(docs) for name, t in interleaved(timers, samples).items()}
        per_document[title] = res
        rows.append([title] + [fmt_time(res[name]) for name, _ in libraries]
                    + ["%.2f×" % (res["vantra"] / res["cbor2"])])
        print("  %-34s %s" % (title, "  ".join("%s %s" % (n, fmt_time(t)) for n, t in res.items())), flush=True)
    text = markdown_table(["input", *[name for name, _ in libraries], "vantra / cbor2"], rows)
    corpus_times, deep = per_document[cases[0][0]], per_document[cases[1][0]]
    targets = [("rejection within 1.5x of cbor2's time per document",
                corpus_times["vantra"] <= 1.5 * corpus_times["cbor2"],
                "%.2f×" % (corpus_times["vantra"] / corpus_times["cbor2"])),
               ("the truncated 64-deep array under 10 µs", deep["vantra"] < 10e3, fmt_time(deep["vantra"]))]
    text += "\n\nTargets:\n\n" + "".join("- %s: %s (%s)\n" % (what, "met" if met else "MISSED", figure)
                                         for what, met, figure in targets)
    print("\nTime to reject one document (median)\n\n" + text)
    args.out.mkdir(parents=True, exist_ok=True)
    with open(args.out / "reject.md", "w") as f:
        f.write("Time to reject one malformed document, median of %d samples; vantra / cbor2 below 1: "
                "vantra_cbor rejects faster.\n\n" % samples)
        f.write("".join("- %s\n" % line for line in env) + "\n" + text + "\n")
    print("\nWrote %s" % (args.out / "reject.md"), file=sys.stderr)


if __name__ == "__main__":
    main()

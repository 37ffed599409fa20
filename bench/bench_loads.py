"""Decoding speed of vantra_cbor.loads against cbor2, msgpack, ormsgpack, msgspec, orjson and json.

    python bench/bench_loads.py [--quick] [--out DIR] [--baseline BUILD]

Each library decodes the same payloads as encoded by itself (CBOR for vantra_cbor and
cbor2, MessagePack for msgpack and ormsgpack, JSON for orjson and json); a library whose
document does not decode back to the payload gets an empty cell. For payloads bound by
copying (long strings, byte blobs), `floor` is the cost of making the same bytes/str
objects from views of the CBOR buffer, with no CBOR read around them. For lists of one
scalar type (ints, floats), `objects` is the object floor: array.array(...).tolist(),
which makes the same int or float objects and their list from a typed array. Samples are
interleaved across libraries; medians are reported. --baseline times another build
of vantra_cbor (its package directory or its .so) in the same run, as the column
"baseline".
"""
import argparse
import array
import json
import sys
import time
from itertools import repeat
from pathlib import Path

import cbor2
import msgpack
import msgspec
import orjson
import ormsgpack

import vantra_cbor
from bench import (COPY_BOUND, HOMOGENEOUS, as_plain, calibrate, environment, fmt_time, interleaved, load_build, make_timer,
                   markdown_table, payloads)

# (column, encoder, decoder)
DECODERS = [
    ("vantra", lambda x: vantra_cbor.dumps(x, indefinite=False), vantra_cbor.loads),
    ("cbor2", lambda x: vantra_cbor.dumps(x, indefinite=False), cbor2.loads),
    ("msgpack", msgpack.packb, lambda b: msgpack.unpackb(b, strict_map_key=False)),
    ("ormsgpack", ormsgpack.packb, ormsgpack.unpackb),
    ("msgspec", msgspec.msgpack.encode, msgspec.msgpack.Decoder().decode),
    ("orjson", orjson.dumps, orjson.loads),
    ("json", lambda x: json.dumps(x).encode(), json.loads),
]
PEERS = [name for name, *_ in DECODERS[1:]]


def copy_floor(value, data):
    """A callable making value's strings or blobs from views of data, and its check."""
    view = memoryview(data)
    pieces, at = [], 0
    for item in value:
        raw = item if isinstance(item, bytes) else item.encode()
        at = data.index(raw, at)
        pieces.append(view[at:at + len(raw)])
        at += len(raw)
    if isinstance(value[0], bytes):
        return lambda: list(map(bytes, pieces))
    return lambda: list(map(str, pieces, repeat("utf-8")))


def bench_payload(title, value, samples, target_ns):
    expected = as_plain(value)
    timers = {}
    for name, encode, decode in DECODERS:
        try:
            document = encode(value)
            ok = decode(document) == expected
        except Exception:
            ok = False
        if ok:
            timer = make_timer(decode, "f(x)", document)
            timers[name] = (timer, calibrate(timer, target_ns))
    if title in COPY_BOUND:
        floor = copy_floor(value, vantra_cbor.dumps(value, indefinite=False))
        assert floor() == expected
        timer = make_timer(floor, "f()", None)
        timers["floor"] = (timer, calibrate(timer, target_ns))
    if title in HOMOGENEOUS:
        typed = array.array(HOMOGENEOUS[title], value)
        assert typed.tolist() == expected
        timer = make_timer(typed.tolist, "f()", None)
        timers["objects"] = (timer, calibrate(timer, target_ns))
    return interleaved(timers, samples)


def table(results):
    header = (["payload"] + [name for name, *_ in DECODERS] + ["floor", "objects"] + ["vs " + p for p in PEERS]
              + ["/ floor", "/ objects"])
    rows = []
    for title, res in results:
        ours = res.get("vantra")
        ratios = ["%.2f×" % (res[p] / ours) if p in res and ours else "" for p in PEERS]
        floors = ["%.2f×" % (ours / res[floor]) if floor in res and ours else "" for floor in ("floor", "objects")]
        rows.append([title] + [fmt_time(res.get(name)) for name, *_ in DECODERS]
                    + [fmt_time(res.get("floor")), fmt_time(res.get("objects"))] + ratios + floors)
    return markdown_table(header, rows)


def plot(results, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    titles = [t for t, _ in results]
    fig, ax = plt.subplots(figsize=(9, 0.6 * len(titles) + 1.8))
    peers = [peer for peer in PEERS if peer != "baseline"]
    height = 0.8 / len(peers)
    for i, peer in enumerate(peers):
        vals = [res[peer] / res["vantra"] if peer in res else 0 for _, res in results]
        ys = [k + (i - len(peers) / 2 + 0.5) * height for k in range(len(titles))]
        bars = ax.barh(ys, vals, height, label="vs " + peer)
        ax.bar_label(bars, labels=["%.2g" % v if v else "" for v in vals], fontsize=6, padding=2)
    ax.axvline(1, color="black", linewidth=0.8)
    ax.set_xscale("log")
    ax.set_yticks(range(len(titles)), titles)
    ax.invert_yaxis()
    ax.set_xlabel("speedup of vantra_cbor.loads (>1: vantra_cbor faster)")
    ax.legend(fontsize=7, loc="lower right")
    ax.set_title("vantra_cbor decoding speedup per payload")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer, shorter samples")
    parser.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "results")
    parser.add_argument("--baseline", type=Path, help="another build of vantra_cbor, timed alongside")
    args = parser.parse_args()
    if args.baseline:
        build = load_build(args.baseline)
        DECODERS.insert(1, ("baseline", lambda x: build.dumps(x, indefinite=False), build.loads))
        PEERS.insert(0, "baseline")
    samples, target_ns = (7, 10e6) if args.quick else (21, 25e6)
    started = time.perf_counter()
    env = environment()
    print("\n".join(env))
    results = []
    for title, value in payloads():
        res = bench_payload(title, value, samples, target_ns)
        results.append((title, res))
        print("  %-26s %s" % (title, "  ".join("%s %s" % (n, fmt_time(t)) for n, t in res.items())), flush=True)
    text = table(results)
    print("\nDecoding time per call (median); vs X = X's time / vantra_cbor's time; "
          "/ floor = vantra_cbor's time / the copy floor's; / objects = its time / array.array(...).tolist()'s\n")
    print(text)
    args.out.mkdir(parents=True, exist_ok=True)
    plot(results, args.out / "loads_speedup.png")
    with open(args.out / "loads.md", "w") as f:
        f.write("Decoding time per call, median of %d samples. vs X = X's time / vantra_cbor's time "
                "(>1: vantra_cbor is faster); / floor = vantra_cbor's time / the time to make the same "
                "objects from the buffer with no CBOR around them; / objects = its time / the time of "
                "array.array(...).tolist() making the same ints or floats.\n\n" % samples)
        f.write("".join("- %s\n" % line for line in env) + "\n" + text + "\n")
    print("\nWrote %s and %s (%.0f s)" % (args.out / "loads_speedup.png", args.out / "loads.md",
                                         time.perf_counter() - started), file=sys.stderr)


if __name__ == "__main__":
    main()

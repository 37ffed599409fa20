"""Reading CBOR sequences: vantra_cbor's iter_loads, StreamDecoder and iter_load against
cbor2's CBORDecoder and msgpack's Unpacker; feeding time per byte from 1 MB to 100 MB;
peak memory of iter_load over a 1 GB file.

    python bench/bench_streams.py [--quick] [--out DIR]

Each reader reads the same records (msgpack its own encoding of them), and every
reader's items are checked against the records before anything is timed. Samples
are interleaved across readers; medians are reported. The targets (from the issue
that asked for these readers) are checked and printed with the figures.
"""
import argparse
import gc
import io
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import cbor2
import msgpack

import vantra_cbor
from bench import SEED, as_plain, environment, fmt_time, markdown_table, peak_rss_kb, tweets

PIECE = 4096
RECORDS = 100_000


def cbor2_loop(data, count):
    decoder = cbor2.CBORDecoder(io.BytesIO(data))
    return [decoder.decode() for _ in range(count)]


def stream_in_pieces(data, piece=PIECE, max_item_size=64 << 20):
    decoder = vantra_cbor.StreamDecoder(max_item_size=max_item_size)
    view, items = memoryview(data), []
    for at in range(0, len(data), piece):
        decoder.feed(view[at:at + piece])
        items.extend(decoder)
    return items


def iter_load_file(path):
    with open(path, "rb") as fp:
        return list(vantra_cbor.iter_load(fp))


def timed(fn):
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter_ns()
        fn()
        return time.perf_counter_ns() - start
    finally:
        gc.enable()


def interleaved(cases, samples):
    """Median nanoseconds of each {name: fn}, sampled round-robin."""
    times = {name: [] for name in cases}
    names = list(cases)
    for rep in range(samples):
        for name in names[rep % len(names):] + names[:rep % len(names)]:
            times[name].append(timed(cases[name]))
    return {name: statistics.median(t) for name, t in times.items()}


def records_table(samples, workdir):
    records = tweets(random.Random(SEED), RECORDS)
    data = b"".join(vantra_cbor.dumps(r, indefinite=False) for r in records)
    packed = b"".join(msgpack.packb(r) for r in records)
    path = os.path.join(workdir, "records.cbor")
    with open(path, "wb") as f:
        f.write(data)
    cases = {
        "iter_loads": lambda: list(vantra_cbor.iter_loads(data)),
        "StreamDecoder (4 KiB pieces)": lambda: stream_in_pieces(data),
        "iter_load (buffered file)": lambda: iter_load_file(path),
        "cbor2 CBORDecoder loop": lambda: cbor2_loop(data, RECORDS),
        "msgpack Unpacker": lambda: list(msgpack.Unpacker(io.BytesIO(packed), raw=False, strict_map_key=False)),
    }
    want = as_plain(records)
    for name, fn in cases.items():
        assert as_plain(fn()) == want, name
    res = interleaved(cases, samples)
    ours = res["iter_loads"]
    rows = [[name, fmt_time(t), "%.2f MB/s" % (len(packed if "msgpack" in name else data) / t * 1e3),
             "%.2f×" % (t / ours)] for name, t in res.items()]
    text = ("%d tweet-like records, %.1f MB of CBOR (%.1f MB of MessagePack)\n\n" % (RECORDS, len(data) / 1e6,
                                                                                  len(packed) / 1e6)
            + markdown_table(["reader", "time", "throughput", "/ iter_loads"], rows))
    targets = [
        ("iter_loads faster than the cbor2 CBORDecoder loop", ours < res["cbor2 CBORDecoder loop"],
         res["cbor2 CBORDecoder loop"] / ours),
        ("iter_loads faster than msgpack Unpacker", ours < res["msgpack Unpacker"], res["msgpack Unpacker"] / ours),
        ("StreamDecoder in 4 KiB pieces within 1.3x of iter_loads",
         res["StreamDecoder (4 KiB pieces)"] <= 1.3 * ours, res["StreamDecoder (4 KiB pieces)"] / ours),
        ("iter_load over a buffered file within 1.5x of iter_loads",
         res["iter_load (buffered file)"] <= 1.5 * ours, res["iter_load (buffered file)"] / ours),
    ]
    return text, targets


def one_item(size):
    """One array of 100-byte texts, about size bytes in all."""
    return vantra_cbor.dumps(["%099d" % i for i in range(size // 101)], indefinite=False)


def small_items(size):
    """100-byte maps, size bytes in all."""
    item = vantra_cbor.dumps({"id": 0, "name": "x" * 80}, indefinite=False)
    item = vantra_cbor.dumps({"id": 0, "name": "x" * (80 + 100 - len(item))}, indefinite=False)
    assert len(item) == 100
    return item * (size // 100)


def byte_at_a_time(data):
    decoder, items = vantra_cbor.StreamDecoder(), []
    feed, extend = decoder.feed, items.extend
    for at in range(len(data)):
        feed(data[at:at + 1])
        extend(decoder)
    return items


def feed_only(data):
    """All of one item but its last byte, in 4 KiB pieces: the scan and the buffer, nothing decoded."""
    decoder, view = vantra_cbor.StreamDecoder(max_item_size=0), memoryview(data)[:-1]
    for at in range(0, len(view), PIECE):
        decoder.feed(view[at:at + PIECE])
    assert list(decoder) == [] and decoder.pending == len(view)


def bytearray_floor(data):
    """The same 4 KiB pieces appended to a bytearray: the cost of holding the bytes, no CBOR."""
    held, view = bytearray(), memoryview(data)[:-1]
    for at in range(0, len(view), PIECE):
        held += view[at:at + PIECE]


def linearity_table(quick):
    """Time per byte of feeding, which must be linear in the bytes fed, and for reference
    of decoding the same bytes (object making, which slows once the objects outgrow the
    caches, whoever makes them)."""
    sizes = [10**6, 10**7] if quick else [10**6, 10**7, 10**8]
    cases = [  # (title, data maker, reader, target checked)
        ("one item fed in 4 KiB pieces, not yet decoded", one_item, feed_only, True),
        ("the same pieces appended to a bytearray (floor)", one_item, bytearray_floor, False),
        ("one item fed in 4 KiB pieces and decoded", one_item, lambda d: stream_in_pieces(d, max_item_size=0), False),
        ("loads of that item (the decoder alone)", one_item, vantra_cbor.loads, False),
        ("100-byte items fed a byte at a time and decoded", small_items, byte_at_a_time, True),
    ]
    rows, targets, spreads = [], [], {}
    for title, make, read, checked in cases:
        per_byte = []
        for size in sizes:
            data = make(size)
            if size == sizes[0] and read not in (feed_only, bytearray_floor):  # what is timed gives the items
                want = list(vantra_cbor.iter_loads(data))
                assert read(data) == (want[0] if read is vantra_cbor.loads else want), title
            # Many samples where one is short; one of a byte at a time over 100 MB.
            runs = 1 if read is byte_at_a_time and size >= 10**8 else max(3, min(21, 2 * 10**8 // size))
            ns = statistics.median(timed(lambda: read(data)) for _ in range(runs))
            per_byte.append(ns / len(data))
            del data
        spread = max(per_byte) / min(per_byte)
        spreads[read] = per_byte
        rows.append([title] + ["%.2f ns" % p for p in per_byte] + ["%.2f×" % spread])
        if checked:
            targets.append(("%s: time per byte within 2x from %s to %s" % (title, mb(sizes[0]), mb(sizes[-1])),
                            spread <= 2, spread))
    # Past the allocator's reuse of freed memory, every new page of a buffer is
    # a page fault: how feeding compares with holding the bytes at all.
    over = [f / h for f, h in zip(spreads[feed_only], spreads[bytearray_floor])]
    rows.append(["feeding / floor"] + ["%.2f×" % r for r in over] + ["%.2f×" % (max(over) / min(over))])
    header = ["time per byte"] + [mb(s) for s in sizes] + ["largest / smallest"]
    return markdown_table(header, rows), targets


def mb(n):
    return "%d MB" % (n // 10**6)


MEMORY_CHILD = """
import json, sys
import vantra_cbor
sys.path.insert(0, %r)
from bench import peak_rss_kb
with open(%r, "rb") as fp:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass
    before = peak_rss_kb()
    count = 0
    for item in vantra_cbor.iter_load(fp):
        count += 1
    print(json.dumps({"increase": (peak_rss_kb() - before) * 1024, "items": count}))
"""


def memory_row(workdir, size):
    path = os.path.join(workdir, "sequence.cbor")
    item = small_items(100)
    with open(path, "wb") as f:
        block = item * 10000
        for _ in range(size // len(block)):
            f.write(block)
    try:
        out = subprocess.run([sys.executable, "-c", MEMORY_CHILD % (str(Path(__file__).parent), path)],
                             capture_output=True, text=True, check=True)
    finally:
        os.remove(path)
    m = json.loads(out.stdout)
    assert m["items"] == size // 100
    text = "iter_load over a %s file of %d 100-byte items: peak memory %.1f MB above the start" % (
        mb(size), m["items"], m["increase"] / 1e6)
    return text, [("peak memory of iter_load over %s under 64 MB" % mb(size), m["increase"] < 64 * 2**20,
                   m["increase"] / 2**20)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer samples, smaller sizes")
    parser.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "results")
    args = parser.parse_args()
    started = time.perf_counter()
    env = environment()
    print("\n".join(env), flush=True)
    with tempfile.TemporaryDirectory() as workdir:
        records, targets = records_table(5 if args.quick else 11, workdir)
        print("\n" + records, flush=True)
        linear, more = linearity_table(args.quick)
        targets += more
        print("\n" + linear, flush=True)
        memory, more = memory_row(workdir, 10**8 if args.quick else 10**9)
        targets += more
        print("\n" + memory, flush=True)
    lines = ["- %s: %s (%.2f)" % (what, "met" if ok else "MISSED", figure) for what, ok, figure in targets]
    print("\nTargets\n" + "\n".join(lines))
    args.out.mkdir(parents=True, exist_ok=True)
    with open(args.out / "streams.md", "w") as f:
        f.write("Reading CBOR sequences: medians of interleaved samples for the readers, of 3 to 21 samples per "
                "size for time per byte (one for 100 MB fed a byte at a time), on a shared 2-CPU machine.\n\n")
        f.write("".join("- %s\n" % line for line in env) + "\n" + records + "\n\n" + linear + "\n\n" + memory
                + "\n\nTargets:\n\n" + "\n".join(lines) + "\n")
    print("\nWrote %s (%.0f s)" % (args.out / "streams.md", time.perf_counter() - started), file=sys.stderr)


if __name__ == "__main__":
    main()

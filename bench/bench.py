"""Encoding speed of vantra_cbor.dumps and Encoder against cbor2, msgpack, ormsgpack, msgspec, orjson and json.

    python bench/bench.py [--quick] [--out DIR] [--baseline BUILD] [--only WORD ...]

Every library's output is decoded and compared with the input before it is timed;
a library that cannot encode a payload, or does not round-trip it, gets an empty cell.
Each library encodes its own copy of the payload (its str objects made afresh), so
that a UTF-8 copy which one library makes the interpreter keep inside a str does not
serve another: each is timed in its own steady state.
Samples are taken round-robin across the libraries so machine noise hits all alike.
For payloads bound by copying (long strings, byte blobs), `join` is the copy floor:
b"".join of the same texts' bytes, one bytes object built with no CBOR around them.
--baseline times another build of vantra_cbor (its package directory or its .so)
in the same run, as the columns "baseline indef" and "baseline def".
"""
import argparse
import datetime
import decimal
import gc
import importlib.metadata
import importlib.util
import json
import os
import platform
import random
import statistics
import struct
import subprocess
import sys
import time
import timeit
import uuid
from pathlib import Path

# NumPy's BLAS threads would otherwise spin beside the timed calls.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import cbor2
import msgpack
import msgspec
import numpy as np
import orjson
import ormsgpack
import vantra_cbor

SEED = 20240611

# (column, timeit statement, decoder). The callable is bound to the local `f`
# so every library pays the same lookup cost.
LIBRARIES = [
    ("vantra indef", vantra_cbor.dumps, "f(x)", cbor2.loads),
    ("vantra def", vantra_cbor.dumps, "f(x, indefinite=False)", cbor2.loads),
    ("Encoder indef", vantra_cbor.Encoder(indefinite=True).encode, "f(x)", cbor2.loads),
    ("Encoder def", vantra_cbor.Encoder().encode, "f(x)", cbor2.loads),
    ("cbor2", cbor2.dumps, "f(x)", cbor2.loads),
    ("msgpack", msgpack.packb, "f(x)", lambda b: msgpack.unpackb(b, raw=False, strict_map_key=False)),
    ("ormsgpack", ormsgpack.packb, "f(x)", lambda b: msgpack.unpackb(b, raw=False, strict_map_key=False)),
    ("msgspec", msgspec.msgpack.Encoder().encode, "f(x)", lambda b: msgpack.unpackb(b, raw=False, strict_map_key=False)),
    ("orjson", orjson.dumps, "f(x)", json.loads),
    ("json", json.dumps, "f(x)", json.loads),
]
VANTRA = ("vantra indef", "vantra def")
BASELINES = ("cbor2", "msgpack", "ormsgpack")
PEERS = ("msgpack", "ormsgpack", "msgspec", "orjson")  # the fast peers: every margin over them is shown
COPY_BOUND = ("bytes 1 KiB x 1000", "str 1 MB ASCII x 3", "str ~1 MB non-ASCII x 3")
# Lists of one scalar type, and the array.array type code that makes the same objects.
HOMOGENEOUS = {"ints (100k, all widths)": "q", "floats 20k, half width": "d", "floats 20k, mixed widths": "d"}


def load_build(path):
    """Another build of the module (its package directory or its .so), loaded beside this one."""
    so = path if path.is_file() else next(path.glob("__init__*.so"))
    found = importlib.util.spec_from_file_location("vantra_cbor", so)
    build = importlib.util.module_from_spec(found)
    found.loader.exec_module(build)
    return build


def add_baseline(path):
    """Times another build of the module beside this one."""
    build = load_build(path)
    LIBRARIES[2:2] = [("baseline indef", build.dumps, "f(x)", cbor2.loads),
                      ("baseline def", build.dumps, "f(x, indefinite=False)", cbor2.loads)]


# ---------------------------------------------------------------- payloads

WORDS = (
    "the a of and to in is for on with this that new just today going love time "
    "café naïve résumé Zürich São Paulo crème brûlée façade Ærø Kraków Ångström über "
    "東京 日本語 北京 ラーメン 좋아요 서울 你好 世界 "
    "😀 🎉 🚀 ❤️ 👍🏽 🇫🇷 🔥 ☕"
).split()


def tweets(rng, count=300):
    def user():
        return {
            "id": rng.randrange(1, 2**40),
            "name": " ".join(rng.choice(WORDS) for _ in range(2)),
            "screen_name": "user%d" % rng.randrange(10**6),
            "location": rng.choice([None, "Zürich", "東京", "São Paulo", "Berlin"]),
            "description": " ".join(rng.choice(WORDS) for _ in range(rng.randrange(0, 15))),
            "followers_count": rng.randrange(0, 10**7),
            "friends_count": rng.randrange(0, 5000),
            "verified": rng.random() < 0.1,
            "protected": False,
        }

    out = []
    for _ in range(count):
        text = " ".join(rng.choice(WORDS) for _ in range(rng.randrange(5, 30)))
        out.append({
            "id": rng.randrange(2**59, 2**63),
            "id_str": str(rng.randrange(2**59, 2**63)),
            "created_at": time.strftime("%a %b %d %H:%M:%S +0000 %Y", time.gmtime(rng.randrange(2**31))),
            "text": text,
            "lang": rng.choice(["en", "fr", "ja", "de", "pt"]),
            "truncated": False,
            "in_reply_to_status_id": rng.choice([None, rng.randrange(2**62)]),
            "user": user(),
            "entities": {
                "hashtags": [{"text": rng.choice(WORDS), "indices": [rng.randrange(140), rng.randrange(140)]}
                             for _ in range(rng.randrange(0, 4))],
                "urls": [],
                "user_mentions": [{"screen_name": "user%d" % rng.randrange(10**6), "id": rng.randrange(2**40)}
                                  for _ in range(rng.randrange(0, 3))],
            },
            "retweet_count": rng.randrange(0, 100000),
            "favorite_count": rng.randrange(0, 100000),
            "favorited": rng.random() < 0.5,
            "retweeted": rng.random() < 0.5,
            "coordinates": None,
        })
    return out


def coordinate(rng):
    # Mostly arbitrary doubles; some that fit a half or a single exactly, so the
    # narrow float widths are exercised too.
    r = rng.random()
    if r < 0.15:
        return rng.randrange(-720, 720) / 4
    if r < 0.3:
        return struct.unpack("f", struct.pack("f", rng.uniform(-180, 180)))[0]
    return rng.uniform(-180, 180)


def geojson(rng, features=100, points=50):
    return {
        "type": "FeatureCollection",
        "features": [{
            "type": "Feature",
            "properties": {"name": "Zone %d" % i, "population": rng.randrange(10**6),
                           "area_km2": rng.uniform(0, 1000)},
            "geometry": {"type": "Polygon",
                         "coordinates": [[[coordinate(rng), coordinate(rng)] for _ in range(points)]]},
        } for i in range(features)],
    }


def catalogue(rng, count=1000):
    return [{
        "sku": rng.randrange(10**9),
        "name": "Item %d" % i,
        "price_cents": rng.randrange(100, 10**6),
        "in_stock": rng.random() < 0.8,
        "stock_by_warehouse": [rng.randrange(0, 1000) for _ in range(10)],
        "ratings": [rng.randrange(0, 6) for _ in range(40)],
        "related": [rng.randrange(10**9) for _ in range(10)],
    } for i in range(count)]


# One bucket per CBOR head width, non-negative and negative.
INT_RANGES = [(0, 23), (24, 255), (256, 65535), (65536, 2**32 - 1), (2**32, 2**63 - 1),
              (-24, -1), (-256, -25), (-65536, -257), (-2**32, -65537), (-2**63, -2**32 - 1)]


def ints(rng, count=100_000):
    out = [rng.randint(lo, hi) for i in range(count) for lo, hi in [INT_RANGES[i % len(INT_RANGES)]]]
    rng.shuffle(out)
    return out


def large_strings(rng, non_ascii):
    if not non_ascii:
        return ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz ") for _ in range(10**6)) for _ in range(3)]
    # One string per internal width (1, 2 and 4 bytes a character), ~1 MB of UTF-8 each.
    alphabets = ["abcdé ïöüçà", "日本語東京北京你好世界ラーメン", "😀🎉🚀🔥☕a"]
    return ["".join(rng.choice(a) for _ in range(10**6 // len(a.encode()) * len(a))) for a in alphabets]


def halves(rng, count=20_000):
    # Floats a half holds exactly (and no narrower subnormal): 11 significant bits, exponents -14 to 15.
    return [rng.choice((-1, 1)) * rng.randrange(1024, 2048) * 2.0 ** rng.randrange(-24, 6) for _ in range(count)]


def float_widths(rng, count=20_000):
    # A third each that a half, a single and only a double hold exactly.
    singles = [struct.unpack("f", struct.pack("f", rng.uniform(-1e6, 1e6)))[0] for _ in range(count // 3)]
    return [v for trio in zip(halves(rng, count // 3), singles, (rng.uniform(-1e6, 1e6) for _ in singles))
            for v in trio]


def short_strings(rng, count=10_000):
    letters = "abcdefghijklmnopqrstuvwxyz_0123456789"
    return ["".join(rng.choice(letters) for _ in range(rng.randrange(1, 24))) for _ in range(count)]


def ascii_strings(rng, count, shortest, longest):
    return ["".join(chr(rng.randrange(32, 127)) for _ in range(rng.randrange(shortest, longest + 1)))
            for _ in range(count)]


def mixed_text(rng, count=5_000):
    # Words of every str width (1, 2 and 4 bytes a character), a random number of them.
    return [" ".join(rng.choice(WORDS) for _ in range(rng.randrange(1, 16))) for _ in range(count)]


def fresh(value):
    """value with its containers and str objects made anew (equal, and holding no UTF-8 copy)."""
    if isinstance(value, list):
        return [fresh(v) for v in value]
    if isinstance(value, tuple):
        return tuple(fresh(v) for v in value)
    if isinstance(value, dict):
        return {fresh(k): fresh(v) for k, v in value.items()}
    if type(value) is str:
        return value.encode("utf-8", "surrogatepass").decode("utf-8", "surrogatepass")
    return value


def payloads():
    rng = random.Random(SEED)
    return [
        ("tweets (300)", tweets(rng)),
        ("geojson (5k points)", geojson(rng)),
        ("catalogue (1k)", catalogue(rng)),
        ("ints (100k, all widths)", ints(rng)),
        ("floats 20k, half width", halves(rng)),
        ("floats 20k, mixed widths", float_widths(rng)),
        ("short ASCII str x 10k", short_strings(rng)),
        ("ASCII str 1-40 B x 20k", ascii_strings(rng, 20_000, 1, 40)),
        ("ASCII str 64-200 B x 5k", ascii_strings(rng, 5_000, 64, 200)),
        ("mixed text x 5k", mixed_text(rng)),
        ("bytes 1 KiB x 1000", [rng.randbytes(1024) for _ in range(1000)]),
        ("str 1 MB ASCII x 3", large_strings(rng, False)),
        ("str ~1 MB non-ASCII x 3", large_strings(rng, True)),
        ('tiny {"a": 1}', {"a": 1}),
        ("tiny [1, 2, 3]", [1, 2, 3]),
        ("tiny 1", 1),
        ('tiny "x"', "x"),
    ]


# ---------------------------------------------------------------- checks and timing

def as_plain(value):
    """The value as the decoders give it back: tuples become lists."""
    if isinstance(value, (list, tuple)):
        return [as_plain(v) for v in value]
    if isinstance(value, dict):
        return {k: as_plain(v) for k, v in value.items()}
    return value


def make_timer(func, stmt, value):
    # timeit switches gc off while it runs, for every library alike.
    return timeit.Timer(stmt, setup="f = _f; x = _x", timer=time.perf_counter_ns,
                        globals={"_f": func, "_x": value})


def calibrate(timer, target_ns):
    n = 1
    while True:
        elapsed = timer.timeit(n)
        if elapsed >= target_ns / 4:
            return max(1, round(n * target_ns / elapsed))
        n *= 4 if elapsed < target_ns / 50 else 2


def interleaved(timers, samples):
    """Median seconds per call of each {name: (timer, calls)}, sampled round-robin."""
    times = {name: [] for name in timers}
    names = list(timers)
    for rep in range(samples):
        # Rotate the starting library so none always runs first after a switch.
        for name in names[rep % len(names):] + names[:rep % len(names)]:
            timer, n = timers[name]
            times[name].append(timer.timeit(n) / n)
    return {name: statistics.median(t) for name, t in times.items()}


def join_floor(value):
    """b"".join of value's texts, as bytes made beforehand: the copy floor of encoding it."""
    pieces = [v if isinstance(v, bytes) else v.encode() for v in value]
    return lambda: b"".join(pieces)


def bench_payload(title, value, samples, target_ns):
    """Median ns per call for each library that round-trips value (else None), and
    for "join" (the copy floor) where the payload is bound by copying."""
    expected = as_plain(value)
    timers = {}
    for name, func, stmt, decode in LIBRARIES:
        try:
            encoded = eval(stmt, {"f": func, "x": value})
            ok = decode(encoded) == expected
        except Exception:
            ok = False
        if ok:
            timer = make_timer(func, stmt, fresh(value))
            timers[name] = (timer, calibrate(timer, target_ns))
    if title in COPY_BOUND:
        timer = make_timer(join_floor(value), "f()", None)
        timers["join"] = (timer, calibrate(timer, target_ns))
    medians = interleaved(timers, samples)
    return {name: medians.get(name) for name in [name for name, *_ in LIBRARIES] + ["join"]}


# ---------------------------------------------------------------- peak memory

MEMORY_DOCS = {
    "blobs": "100 x 1 MB blobs (bytes and ASCII str)",
    "ints": "11M ints (9-byte heads)",
}
MEMORY_LIBS = {
    "vantra indef": lambda x: vantra_cbor.dumps(x),
    "vantra def": lambda x: vantra_cbor.dumps(x, indefinite=False),
    "cbor2": cbor2.dumps,
    "msgpack": msgpack.packb,
    "ormsgpack": ormsgpack.packb,
}


def memory_doc(kind):
    rng = random.Random(SEED)
    if kind == "blobs":
        # ASCII str only: a non-ASCII str would gain a cached UTF-8 copy, counted against the encoder.
        return [rng.randbytes(10**6) if i % 2 else "%07d" % i * (10**6 // 7) for i in range(100)]
    return [rng.randrange(2**32, 2**63) for _ in range(11 * 10**6)]


def peak_rss_kb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    import resource
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def memory_child(lib, kind):
    """Runs in a fresh process: prints the peak RSS increase of one call and the result's size."""
    value = memory_doc(kind)
    gc.collect()
    try:
        # Resets the high-water mark to the current RSS, so building the input does not count.
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass
    before = peak_rss_kb()
    result = MEMORY_LIBS[lib](value)
    after = peak_rss_kb()
    print(json.dumps({"increase": (after - before) * 1024, "size": len(result)}))


def measure_memory():
    rows = []
    for kind, title in MEMORY_DOCS.items():
        for lib in MEMORY_LIBS:
            proc = subprocess.run([sys.executable, __file__, "--memory-child", lib, kind],
                                  capture_output=True, text=True)
            if proc.returncode != 0:
                rows.append((title, lib, None, None))
                continue
            m = json.loads(proc.stdout.strip().splitlines()[-1])
            rows.append((title, lib, m["size"], m["increase"]))
    return rows


# ---------------------------------------------------------------- report

def fmt_time(ns):
    if ns is None:
        return ""
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("µs", 1e3)):
        if ns >= scale:
            return "%.3g %s" % (ns / scale, unit)
    return "%.3g ns" % ns


def fmt_size(n):
    for unit, scale in (("MB", 1e6), ("kB", 1e3)):
        if n >= scale:
            return "%.3g %s" % (n / scale, unit)
    return "%d B" % n


def speedup(results, mode, other):
    if results[mode] is None or results[other] is None:
        return None
    return results[other] / results[mode]


def markdown_table(header, rows):
    widths = [max(len(str(c)) for c in col) for col in zip(header, *rows)]
    line = lambda cells: "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths)) + " |"
    return "\n".join([line(header), "|" + "|".join("-" * (w + 2) for w in widths) + "|"] + [line(r) for r in rows])


def speed_table(results):
    names = [name for name, *_ in LIBRARIES]
    header = (["payload", "CBOR size"] + names + ["join"]
              + ["%s vs %s" % (m.split()[1], o) for m in VANTRA for o in ("cbor2", "peers")]
              + ["%s / join" % m.split()[1] for m in VANTRA]
              + ["Encoder / dumps, %s" % m.split()[1] for m in VANTRA])
    rows = []
    for title, size, res in results:
        ratios = []
        for m in VANTRA:
            ratios.append(speedup(res, m, "cbor2"))
            # The smallest margin over the fast peers, and whose it is.
            margins = [(speedup(res, m, p), p) for p in PEERS if speedup(res, m, p)]
            ratios.append(min(margins) if margins else None)
        floors = [None if res["join"] is None else res[m] / res["join"] for m in VANTRA]
        # Encoder's time over dumps' time, same heads: below 1.05 is within 5%.
        costs = [speedup(res, "Encoder " + m.split()[1], m) for m in VANTRA]
        rows.append([title, fmt_size(size)] + [fmt_time(res[name]) for name in names + ["join"]]
                    + ["" if r is None else "%.2f× %s" % r if isinstance(r, tuple) else "%.2f×" % r
                       for r in ratios]
                    + ["" if f is None else "%.2f×" % f for f in floors]
                    + ["" if c is None else "%.3f" % (1 / c) for c in costs])
    return markdown_table(header, rows)


# ---------------------------------------------------------------- Encoder's own types

def typed_payloads(rng):
    """Values only Encoder writes: (title, value, {column: encode}, {column: decode})."""
    array = np.random.default_rng(SEED).standard_normal(100 * 10**6 // 8)
    zones = [datetime.timezone.utc, datetime.timezone(datetime.timedelta(hours=2))]
    instants = [datetime.datetime(2000, 1, 1, tzinfo=zones[i % 2]) + datetime.timedelta(seconds=rng.randrange(10**9),
                microseconds=rng.randrange(10**6) if i % 3 else 0) for i in range(10000)]
    decimals = [decimal.Decimal(rng.randrange(-10**9, 10**9)).scaleb(-rng.randrange(0, 8)) for _ in range(10000)]
    uuids = [uuid.UUID(int=rng.getrandbits(128)) for _ in range(10000)]
    encoder = vantra_cbor.Encoder()
    numpy_peers = {
        "arr.tobytes()": lambda a: a.tobytes(),
        "orjson": lambda a: orjson.dumps(a, option=orjson.OPT_SERIALIZE_NUMPY),
        "ormsgpack": lambda a: ormsgpack.packb(a, option=ormsgpack.OPT_SERIALIZE_NUMPY),
    }
    return [("float64 array, 100 MB", array, dict({"Encoder": encoder.encode}, **numpy_peers))] + [
        (title, value, {"Encoder": encoder.encode, "cbor2": cbor2.dumps})
        for title, value in (("datetime x 10k", instants), ("Decimal x 10k", decimals), ("UUID x 10k", uuids))]


def typed_table(samples, target_ns):
    rows = []
    for title, value, columns in typed_payloads(random.Random(SEED)):
        if isinstance(value, list):
            assert cbor2.loads(columns["Encoder"](value)) == value
        else:
            tag = cbor2.loads(columns["Encoder"](value))
            assert tag.tag == 86 and tag.value == value.tobytes()
        timers = {name: make_timer(f, "f(x)", value) for name, f in columns.items()}
        med = interleaved({name: (t, calibrate(t, target_ns)) for name, t in timers.items()}, samples)
        others = ", ".join("%s %s" % (name, fmt_time(t)) for name, t in med.items() if name != "Encoder")
        if "cbor2" in med:
            ratio = "%.1f× faster than cbor2" % (med["cbor2"] / med["Encoder"])
        else:
            ratio = "%.2f× the time of arr.tobytes()" % (med["Encoder"] / med["arr.tobytes()"])
        rows.append([title, fmt_time(med["Encoder"]), others, ratio])
        print("  %-26s %s" % (title, rows[-1][1:]), flush=True)
    return markdown_table(["payload", "Encoder().encode", "others", "ratio"], rows)


def memory_table(rows):
    out = []
    for title, lib, size, increase in rows:
        out.append([title, lib, "" if size is None else fmt_size(size),
                    "" if increase is None else fmt_size(increase),
                    "" if increase is None else "%.2f×" % (increase / size)])
    return markdown_table(["document", "library", "result", "peak RSS increase", "increase / result"], out)


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def environment():
    versions = ", ".join("%s %s" % (d, importlib.metadata.version(d))
                         for d in ("vantra_cbor", "cbor2", "msgpack", "ormsgpack", "msgspec", "orjson"))
    return ["Python %s (%s)" % (platform.python_version(), platform.python_implementation()),
            "%s, %s, %d CPUs" % (platform.platform(), cpu_model(), os.cpu_count()),
            versions]


def cbor2_c_extension():
    # cbor2 falls back to pure Python silently when its C module is missing.
    return getattr(cbor2.dumps, "__module__", "") in ("_cbor2", "cbor2._cbor2") \
        and type(cbor2.dumps).__name__ == "builtin_function_or_method"


def plot(results, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter, LogLocator

    titles = [t for t, _, _ in results]
    fig, axes = plt.subplots(1, 2, figsize=(13, 0.55 * len(titles) + 2.2), sharex=True, sharey=True)
    height = 0.26
    colors = {"cbor2": "#4c72b0", "msgpack": "#dd8452", "ormsgpack": "#55a868"}
    for ax, mode in zip(axes, VANTRA):
        for i, other in enumerate(BASELINES):
            ys = [k + (i - 1) * height for k in range(len(titles))]
            vals = [speedup(res, mode, other) or 0 for _, _, res in results]
            bars = ax.barh(ys, vals, height, label="vs " + other, color=colors[other])
            ax.bar_label(bars, labels=["%.2g" % v if v else "" for v in vals], fontsize=7, padding=2)
        ax.axvline(1, color="black", linewidth=0.8)
        ax.set_xscale("log")
        ax.xaxis.set_major_locator(LogLocator(subs=(1, 2, 5)))
        ax.xaxis.set_major_formatter(FuncFormatter(lambda v, _: "%g×" % v))
        ax.xaxis.set_minor_formatter(FuncFormatter(lambda v, _: ""))
        ax.set_title("dumps(x)" if mode == VANTRA[0] else "dumps(x, indefinite=False)")
        ax.set_xlabel("speedup of vantra_cbor (>1: vantra_cbor faster)")
        ax.grid(axis="x", which="major", alpha=0.3)
    axes[0].set_yticks(range(len(titles)), titles)
    axes[0].invert_yaxis()
    handles, labels = axes[0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="upper center", bbox_to_anchor=(0.5, 0.965), ncol=3, frameon=False)
    fig.suptitle("vantra_cbor encoding speedup per payload", y=0.995)
    fig.tight_layout(rect=(0, 0, 1, 0.93))
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer, shorter samples")
    parser.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "results")
    parser.add_argument("--baseline", type=Path, help="another build of vantra_cbor, timed alongside")
    parser.add_argument("--only", nargs="+", metavar="WORD",
                        help="only the payloads whose titles hold a word given (printed, not written)")
    parser.add_argument("--memory-child", nargs=2, metavar=("LIB", "DOC"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        return memory_child(*args.memory_child)

    samples, target_ns = (7, 10e6) if args.quick else (21, 25e6)
    started = time.perf_counter()
    if args.baseline:
        add_baseline(args.baseline)
    env = environment()
    for line in env:
        print(line)
    c_ext = cbor2_c_extension()
    print("cbor2 C extension in use: %s" % ("yes (%s)" % cbor2.dumps.__module__ if c_ext else "NO, pure Python"))
    print("%d samples per library, ~%d ms each, median reported\n" % (samples, target_ns / 1e6))

    results = []
    for title, value in payloads():
        if args.only and not any(word in title for word in args.only):
            continue
        size = len(vantra_cbor.dumps(value, indefinite=False))
        res = bench_payload(title, value, samples, target_ns)
        results.append((title, size, res))
        print("  %-26s %s" % (title, "  ".join("%s %s" % (n, fmt_time(t) or "-") for n, t in res.items())),
              flush=True)

    table = speed_table(results)
    print("\nTime per call (median); speedup = other library's time / vantra_cbor's time; "
          "peers: the smallest over msgpack, ormsgpack, msgspec and orjson; / join: time over the copy floor's\n")
    print(table)
    if args.only:
        return  # a partial run: no tables or charts written

    print("\nEncoder's own types: NumPy array against its raw bytes and peers; tagged values against cbor2\n",
          flush=True)
    typed = typed_table(max(5, samples // 3), target_ns * 4)
    print(typed)

    print("\nPeak memory of one call (fresh process each)\n", flush=True)
    mem = memory_table(measure_memory())
    print(mem)

    args.out.mkdir(parents=True, exist_ok=True)
    plot(results, args.out / "speedup.png")
    with open(args.out / "results.md", "w") as f:
        f.write("Encoding time per call, median of %d samples; columns `vantra indef` and "
                "`vantra def` are `dumps(x)` and `dumps(x, indefinite=False)`. Speedup = other "
                "library's time / vantra_cbor's time (>1: vantra_cbor is faster); `peers` is the "
                "smallest of them over msgpack, ormsgpack, msgspec and orjson; `join` is the copy floor "
                "(b\"\".join of the payload's texts as bytes) and `/ join` vantra_cbor's time over it. "
                "An empty cell: that library cannot encode the payload or does not round-trip it.\n\n"
                % samples)
        f.write("".join("- %s\n" % line for line in env))
        f.write("- cbor2 C extension: %s\n\n" % ("yes" if c_ext else "no"))
        f.write(table + "\n\n")
        f.write("The Encoder's own types, median time per call:\n\n" + typed + "\n\n")
        f.write("Peak RSS increase of one `dumps` call, relative to the size of its result:\n\n")
        f.write(mem + "\n")
    print("\nWrote %s and %s (%.0f s)" % (args.out / "speedup.png", args.out / "results.md",
                                         time.perf_counter() - started))


if __name__ == "__main__":
    main()

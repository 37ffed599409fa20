"""What value sharing and string references cost and save: the Encoder with each
option against itself without it, and against cbor2 with the same option.

    python bench/bench_references.py [--quick] [--out DIR]

- value_sharing=True on the records and tweets of bench.py: the encoding time with
  the option over the time without (each object is then looked up by identity).
- string_referencing=True on 10,000 log records that repeat their keys and many of
  their values: the output's size, and encoding and decoding times, with the
  option and without.
"""
import argparse
import random
import sys
from pathlib import Path

import cbor2

import vantra_cbor
from bench import WORDS, calibrate, catalogue, environment, fmt_size, fmt_time, interleaved, make_timer, \
    markdown_table, tweets

SERVICES = ["payment-service", "inventory-service", "auth-gateway", "notification-worker", "search-indexer"]
REGIONS = ["us-east-1", "eu-west-1", "ap-southeast-2"]
LEVELS = ["INFO", "WARNING", "ERROR", "DEBUG"]
MESSAGES = ["request completed", "cache miss for key", "retrying upstream call", "user session expired",
            "rate limit reached", "connection pool exhausted"]


def log_records(rng, count=10_000):
    """Records as a service writes them: the same keys, values from small sets, a few unique fields."""
    return [{
        "timestamp": 1_700_000_000 + i,
        "severity": rng.choice(LEVELS),
        "service": rng.choice(SERVICES),
        "region": rng.choice(REGIONS),
        "message": rng.choice(MESSAGES),
        "request_id": rng.randrange(2**32),
        "latency_ms": rng.randrange(1, 5000),
        "user_agent": "Mozilla/5.0 (X11; Linux x86_64)" if rng.random() < 0.7 else rng.choice(WORDS),
    } for i in range(count)]


def time_all(calls, samples, target_ns):
    """Median time per call of each {name: zero-argument callable}, interleaved."""
    timers = {}
    for name, call in calls.items():
        timer = make_timer(call, "f()", None)
        timers[name] = (timer, calibrate(timer, target_ns))
    return interleaved(timers, samples)


def sharing_rows(rng, samples, target_ns):
    plain, shared = vantra_cbor.Encoder(), vantra_cbor.Encoder(value_sharing=True)
    rows = []
    for title, value in (("1,000 catalogue records", catalogue(rng)), ("300 tweets", tweets(rng))):
        assert vantra_cbor.loads(shared.encode(value)) == value
        t = time_all({"without": lambda: plain.encode(value), "with": lambda: shared.encode(value),
                      "cbor2 with": lambda: cbor2.dumps(value, value_sharing=True)}, samples, target_ns)
        rows.append([title, fmt_time(t["without"]), fmt_time(t["with"]), "%.2f×" % (t["with"] / t["without"]),
                     fmt_time(t["cbor2 with"])])
        print("  sharing  %-24s %s" % (title, rows[-1][1:]), flush=True)
    return rows


def referencing_rows(rng, samples, target_ns):
    records = log_records(rng)
    plain, referencing = vantra_cbor.Encoder(), vantra_cbor.Encoder(string_referencing=True)
    without, with_refs = plain.encode(records), referencing.encode(records)
    assert vantra_cbor.loads(with_refs) == records == cbor2.loads(with_refs)
    t = time_all({
        "encode without": lambda: plain.encode(records), "encode with": lambda: referencing.encode(records),
        "decode without": lambda: vantra_cbor.loads(without), "decode with": lambda: vantra_cbor.loads(with_refs),
        "cbor2 encode with": lambda: cbor2.dumps(records, string_referencing=True),
        "cbor2 decode with": lambda: cbor2.loads(with_refs),
    }, samples, target_ns)
    rows = [["size", fmt_size(len(without)), fmt_size(len(with_refs)), "%.2f× smaller" % (len(without) / len(with_refs)), ""]]
    for what in ("encode", "decode"):
        a, b = t[what + " without"], t[what + " with"]
        rows.append([what, fmt_time(a), fmt_time(b), "%.2f×" % (b / a), fmt_time(t["cbor2 %s with" % what])])
    for row in rows:
        print("  referencing  %s" % row, flush=True)
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer, shorter samples")
    parser.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "results")
    args = parser.parse_args()
    samples, target_ns = (5, 20e6) if args.quick else (15, 50e6)
    env = environment()
    print("\n".join(env))
    rng = random.Random(7)
    sharing = markdown_table(["payload", "without", "value_sharing", "with / without", "cbor2 with"],
                             sharing_rows(rng, samples, target_ns))
    referencing = markdown_table(["10,000 log records", "without", "string_referencing", "with / without",
                                  "cbor2 with"], referencing_rows(rng, samples, target_ns))
    text = ("Encoder(value_sharing=True), median time per call\n\n" + sharing +
            "\n\nEncoder(string_referencing=True) and loads, median time per call\n\n" + referencing)
    print("\n" + text)
    args.out.mkdir(parents=True, exist_ok=True)
    with open(args.out / "references.md", "w") as f:
        f.write("Median of %d interleaved samples.\n\n" % samples)
        f.write("".join("- %s\n" % line for line in env) + "\n" + text + "\n")
    print("\nWrote %s" % (args.out / "references.md"), file=sys.stderr)


if __name__ == "__main__":
    main()

"""vantra-cbor (python -m vantra_cbor): look inside CBOR, check it, and make it.

  vantra-cbor diag [--hex] [--indent N] [FILE]    diagnostic notation, one item a line
  vantra-cbor json [--hex] [FILE]                 JSON, one item a line
  vantra-cbor encode --from json|diag [--hex] [--deterministic] [FILE]
  vantra-cbor check [--hex] [FILE]                well-formed, valid, deterministic?

FILE is a path or - (standard input, the default). CBOR input is binary, or hex
text with --hex (spaces and newlines allowed); a file may hold an RFC 8742
sequence of items. encode writes binary CBOR, or hex with --hex.

JSON cannot hold everything CBOR can; json writes these as objects, and encode
--from json reads them back:
  byte string            {"$bytes": "<hex>"}
  tag n (no built-in)    {"$tag": n, "$value": ...}
  NaN, Infinity          {"$float": "NaN"}, {"$float": "Infinity"}, {"$float": "-Infinity"}
  undefined              {"$undefined": true}
  other simple values    {"$simple": n}
  a map with a key that  {"$map": [[key, value], ...]}
    is not text, or text
    starting with "$"
  set (tag 258)          {"$set": [...]}
  decimal (tag 4)        {"$decimal": "<text>"}
  bigfloat (tag 5)       {"$decimal": "<text>"} as well (its exact value)
Tags that loads turns into Python values become plain JSON: datetimes and dates
(tags 0, 1, 100, 1004) as ISO 8601 text; UUIDs (tag 37), IP addresses and
networks (tags 52, 54, 260, 261), rational numbers (tag 30: "1/3"), regular
expressions (tag 35: the pattern) and MIME messages (tag 36) as text; typed
arrays as arrays; bignums are JSON integers. Shared values (tags 28, 29) are
written out at each place they occur; a value that contains itself cannot be.

check reports, with the first byte at fault for each: well-formed; valid (text
is UTF-8, no map has a key twice); deterministic (RFC 8949 section 4.2.1:
shortest heads and floats, definite lengths, preferred bignums, map keys in
bytewise order, or in the length-first order of section 4.2.3). It exits 0
only when all three hold.

Exit status: 0 done, 1 the input is malformed or (check) breaks a rule, 2 a
usage error. When the reader of the output goes away (| head) the tool stops
quietly, with status 141 as a shell reports a writer stopped by a closed pipe.
"""
import argparse
import binascii
import datetime
import decimal
import email.message
import fractions
import ipaddress
import json
import math
import os
import re
import sys
import uuid

import vantra_cbor

PROG = "vantra-cbor"


class Failure(Exception):
    """The input is at fault: a message, and exit status 1."""


# ---- Input -----------------------------------------------------------------------


def read_input(parser, args, binary):
    if args.file == "-":
        stream = sys.stdin.buffer
        data = stream.read()
    else:
        try:
            with open(args.file, "rb") as f:
                data = f.read()
        except OSError as e:
            parser.error("can't open '%s': %s" % (args.file, e.strerror or e))
    if not binary:
        try:
            return data.decode("utf-8")
        except UnicodeDecodeError as e:
            raise Failure("the input is not UTF-8 text (byte %d)" % e.start)
    if args.hex:
        try:
            return bytes.fromhex(data.decode("ascii"))
        except (UnicodeDecodeError, ValueError):
            raise Failure("the input is not hex text")
    return data


def items(data):
    """The (start, end) of each item, and the CBORDecodeError after the last good one (or None)."""
    spans, start = [], 0
    while start < len(data):
        try:
            end = vantra_cbor._item_end(data, start)
        except vantra_cbor.CBORDecodeError as e:
            return spans, e
        spans.append((start, end))
        start = end
    return spans, None


def at_offset(error, start):
    """error's message with its offset counted from the whole input, not from its item at start."""
    text, suffix = str(error), " at byte %d" % error.pos
    if text.endswith(suffix):
        text = text[:-len(suffix)]
    return "%s at byte %d" % (text, start + error.pos)


def malformed(error):
    return Failure("malformed CBOR: %s" % error)


# ---- JSON ------------------------------------------------------------------------


def to_json(value):
    """A value from loads as one JSON can hold (see the module's help)."""
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        if math.isnan(value):
            return {"$float": "NaN"}
        if math.isinf(value):
            return {"$float": "Infinity" if value > 0 else "-Infinity"}
        return value
    if isinstance(value, (list, tuple)):
        return [to_json(v) for v in value]
    if isinstance(value, dict):
        if all(isinstance(k, str) and not k.startswith("$") for k in value):
            return {k: to_json(v) for k, v in value.items()}
        return {"$map": [[to_json(k), to_json(v)] for k, v in value.items()]}
    if isinstance(value, (bytes, bytearray, memoryview)):
        return {"$bytes": bytes(value).hex()}
    if isinstance(value, vantra_cbor.Tag):
        return {"$tag": value.tag, "$value": to_json(value.value)}
    if value is vantra_cbor.undefined:
        return {"$undefined": True}
    if isinstance(value, vantra_cbor.Simple):
        return {"$simple": value.value}
    if isinstance(value, (datetime.date, datetime.datetime)):
        return value.isoformat()
    if isinstance(value, decimal.Decimal):
        return {"$decimal": str(value)}
    if isinstance(value, (uuid.UUID, fractions.Fraction, ipaddress.IPv4Address, ipaddress.IPv6Address,
                          ipaddress.IPv4Network, ipaddress.IPv6Network)):
        return str(value)
    if isinstance(value, re.Pattern):
        return value.pattern
    if isinstance(value, email.message.Message):
        return value.as_string()
    if isinstance(value, (set, frozenset)):
        return {"$set": [to_json(v) for v in value]}
    if hasattr(value, "tolist"):  # a NumPy array
        return to_json(value.tolist())
    return repr(value)


def hashable(value):
    if isinstance(value, list):
        return tuple(hashable(v) for v in value)
    if isinstance(value, set):
        return frozenset(value)
    return value


def from_json_object(obj):
    """The inverse of to_json for the objects it makes (json's object_hook)."""
    if len(obj) == 1:
        (key, value), = obj.items()
        if key == "$bytes" and isinstance(value, str):
            return bytes.fromhex(value)
        if key == "$float" and value in ("NaN", "Infinity", "-Infinity"):
            return float(value.lower() if value == "NaN" else value)
        if key == "$undefined":
            return vantra_cbor.undefined
        if key == "$simple" and isinstance(value, int):
            return {20: False, 21: True, 22: None, 23: vantra_cbor.undefined}.get(value) \
                if 20 <= value <= 23 else vantra_cbor.Simple(value)
        if key == "$map" and isinstance(value, list):
            return {hashable(k): v for k, v in value}
        if key == "$set" and isinstance(value, list):
            return {hashable(v) for v in value}
        if key == "$decimal" and isinstance(value, str):
            return decimal.Decimal(value)
    if len(obj) == 2 and "$tag" in obj and "$value" in obj:
        return vantra_cbor.Tag(obj["$tag"], obj["$value"])
    return obj


def json_values(text):
    """Each JSON text in text, one after another (JSON lines, or any spacing)."""
    decoder = json.JSONDecoder(object_hook=from_json_object)
    pos, end = 0, len(text)
    while True:
        while pos < end and text[pos] in " \t\r\n":
            pos += 1
        if pos == end:
            return
        try:
            value, pos = decoder.raw_decode(text, pos)
        except json.JSONDecodeError as e:
            raise Failure("bad JSON: %s" % e)
        except ValueError as e:  # a $-object that does not hold what it says
            raise Failure("bad JSON: %s" % e)
        yield value


# ---- Commands --------------------------------------------------------------------


def write_text(out, text):
    out.write(text.encode("utf-8"))


def cmd_diag(parser, args, out):
    data = read_input(parser, args, True)
    view = memoryview(data)
    spans, error = items(data)
    for i, (start, end) in enumerate(spans):
        text = vantra_cbor.diag(view[start:end], indent=args.indent)
        write_text(out, text + ("," if i + 1 < len(spans) else "") + "\n")
    if error:
        raise malformed(error)
    return 0


def cmd_json(parser, args, out):
    data = read_input(parser, args, True)
    view = memoryview(data)
    spans, error = items(data)
    for start, end in spans:
        try:
            value = vantra_cbor.loads(view[start:end])
        except vantra_cbor.CBORDecodeError as e:
            raise Failure("invalid CBOR: %s" % at_offset(e, start))
        except RecursionError:
            raise Failure("the item at byte %d is nested too deeply" % start)
        try:
            line = json.dumps(to_json(value), ensure_ascii=False, allow_nan=False)
        except RecursionError:
            raise Failure("the item at byte %d is nested too deeply, or holds itself, for JSON" % start)
        write_text(out, line + "\n")
    if error:
        raise malformed(error)
    return 0


def cmd_encode(parser, args, out):
    text = read_input(parser, args, False)
    if args.source == "diag":
        try:
            data = vantra_cbor.from_diag(text, sequence=True)
        except vantra_cbor.DiagDecodeError as e:
            raise Failure("bad diagnostic notation: %s" % e)
    else:
        encoder = vantra_cbor.Encoder(deterministic=args.deterministic)
        try:
            data = b"".join(encoder.encode(value) for value in json_values(text))
        except (TypeError, ValueError, OverflowError) as e:
            raise Failure("cannot encode: %s" % e)
    out.write((data.hex() + "\n").encode("ascii") if args.hex else data)
    return 0


def cmd_check(parser, args, out):
    data = read_input(parser, args, True)
    malformed_at, invalid, bytewise, length_first = vantra_cbor._check(data, True)

    def fault(f):
        return "no: %s at byte %d" % (f[1], f[0])

    if malformed_at:
        write_text(out, "well-formed: %s\n" % fault(malformed_at))
        return 1
    lines = ["well-formed: yes", "valid: " + (fault(invalid) if invalid else "yes")]
    if not bytewise:
        lines.append("deterministic: yes (RFC 8949 4.2.1, map keys in bytewise order)")
    elif not length_first:
        lines.append("deterministic: yes (map keys in the length-first order of RFC 8949 4.2.3)")
    elif bytewise[1].startswith("map keys") and length_first[1].startswith("map keys"):
        lines.append("deterministic: no: map keys in neither bytewise order (byte %d) nor length-first order "
                     "(byte %d)" % (bytewise[0], length_first[0]))
    else:
        lines.append("deterministic: " + fault(min(bytewise, length_first)))
    write_text(out, "\n".join(lines) + "\n")
    return 0 if not invalid and (not bytewise or not length_first) else 1


# ---- The command line ------------------------------------------------------------


def make_parser():
    parser = argparse.ArgumentParser(
        prog=PROG, description="Look inside CBOR, check it, and make it.",
        epilog=__doc__.split("\n\n", 2)[2], formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    def command(name, helptext, func):
        sub = commands.add_parser(name, help=helptext, description=helptext)
        sub.set_defaults(func=func)
        sub.add_argument("file", nargs="?", default="-", metavar="FILE", help="a file, or - for standard input")
        return sub

    sub = command("diag", "the diagnostic notation of each item, one a line", cmd_diag)
    sub.add_argument("--hex", action="store_true", help="the input is hex text")
    sub.add_argument("--indent", type=int, default=None, metavar="N",
                     help="members of containers on lines of their own, N spaces a level (0 to 32)")
    sub = command("json", "each item as JSON, one a line", cmd_json)
    sub.add_argument("--hex", action="store_true", help="the input is hex text")
    sub = command("encode", "CBOR from JSON (any number of values) or diagnostic notation", cmd_encode)
    sub.add_argument("--from", dest="source", choices=["json", "diag"], required=True, help="the input's notation")
    sub.add_argument("--hex", action="store_true", help="write hex text instead of binary")
    sub.add_argument("--deterministic", action="store_true", help="JSON: deterministic encoding (RFC 8949 4.2.1)")
    sub = command("check", "is the input well-formed, valid and deterministic?", cmd_check)
    sub.add_argument("--hex", action="store_true", help="the input is hex text")
    return parser


def main(argv=None):
    parser = make_parser()
    args = parser.parse_args(argv)
    if getattr(args, "indent", None) is not None and not 0 <= args.indent <= 32:
        parser.error("--indent must be from 0 to 32")
    out = sys.stdout.buffer
    try:
        try:
            status = args.func(parser, args, out)
        finally:
            out.flush()
    except Failure as e:
        sys.stderr.write("%s: error: %s\n" % (PROG, e))
        return 1
    except BrokenPipeError:
        # Nobody reads on: whatever is still buffered goes nowhere, quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 141
    return status


if __name__ == "__main__":
    sys.exit(main())

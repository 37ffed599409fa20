"""Every source compiled for other systems and processors with zig's clang, and
linked into a loadable bundle, as their wheels would be built: our code with
warnings as errors, simdutf as it comes. Only compiled and linked, never run.

    python tools/check_cross.py [TARGET ...]    (default: aarch64-macos x86_64-macos)

Needs the ziglang and pybind11 packages; the headers are the running
interpreter's (what the compiler checks does not depend on their platform).
"""
import os
import subprocess
import sys
import sysconfig
import time

import pybind11

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CODEC = ["writer", "reader", "scan", "float_width", "diag", "diag_parse", "diag_number", "check"]
BINDING = ["module", "output", "dump_value", "scalars", "containers", "stack", "entry", "values", "decoder",
           "streams", "encoder_type", "references", "text", "diag", "runtime", "tags/registry", "tags/datetime",
           "tags/numbers", "tags/identifiers", "tags/text", "tags/typed_arrays"]
# The first four bytes of a 64-bit Mach-O file, then its processor type.
MACHO = {"aarch64": 0x0100000C, "x86_64": 0x01000007}


def zig(*args):
    return [sys.executable, "-m", "ziglang", *args]


def sources():
    """The module's sources, (path, ours): ours with warnings as errors, simdutf as it comes."""
    return ([(f"codec/{name}.cpp", True) for name in CODEC] + [(f"binding/{name}.cpp", True) for name in BINDING]
            + [("third_party/simdutf/simdutf.cpp", False)])


# The public header alone, from C and from C++: compiled, never linked.
HEADER_CHECKS = [("codec/header_check.c", ["cc", "-std=c99"]), ("codec/header_check.cpp", ["c++", "-std=c++17"])]


def compile_all(target, out):
    include = ["-I", "codec", "-isystem", "third_party/simdutf", "-isystem", sysconfig.get_paths()["include"],
               "-isystem", pybind11.get_include()]
    ours = ["-Wall", "-Wextra", "-Werror", "-fvisibility=hidden", "-fPIC", "-O2"]
    theirs = ["-w", "-fvisibility=hidden", "-fPIC", "-O2"]
    jobs = [(source, ["c++", "-std=c++17"] + (ours if own else theirs)) for source, own in sources()]
    jobs += [(source, command + ours) for source, command in HEADER_CHECKS]
    objects = []
    for source, flags in jobs:
        obj = os.path.join(out, source.replace("/", "_") + ".o")
        run(zig(*flags, "-target", target, *include, "-c", source, "-o", obj), source)
        if not source.startswith("codec/header_check"):
            objects.append(obj)
    return objects


def run(command, what):
    proc = subprocess.run(command, cwd=ROOT, capture_output=True, text=True)
    if proc.returncode != 0 or proc.stderr.strip():
        sys.exit(f"{what}: {' '.join(command[3:])}\n{proc.stderr}")


def check_bundle(path, target):
    with open(path, "rb") as f:
        data = f.read()
    magic, cpu = int.from_bytes(data[:4], "little"), int.from_bytes(data[4:8], "little")
    if magic != 0xFEEDFACF or cpu != MACHO[target.split("-")[0]]:
        sys.exit(f"{path}: not a 64-bit Mach-O file for {target} (magic {magic:#x}, processor {cpu:#x})")
    if b"\0_PyInit_vantra_cbor\0" not in data:
        sys.exit(f"{path}: no PyInit_vantra_cbor among its symbols")


def main(targets):
    for target in targets or ["aarch64-macos", "x86_64-macos"]:
        start = time.monotonic()
        out = os.path.join(ROOT, "build", "cross", target)
        os.makedirs(out, exist_ok=True)
        objects = compile_all(target, out)
        bundle = os.path.join(out, "vantra_cbor.so")
        # The interpreter's symbols are found when it loads the bundle.
        run(zig("c++", "-target", target, "-shared", "-undefined", "dynamic_lookup", "-o", bundle, *objects), "link")
        if target.endswith("macos"):
            check_bundle(bundle, target)
        print(f"{target}: {len(objects)} sources compiled and linked in {time.monotonic() - start:.0f} s")


if __name__ == "__main__":
    main(sys.argv[1:])

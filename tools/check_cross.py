"""Every source compiled for other systems and processors with zig's clang, and
linked into a loadable bundle, as their wheels would be built: our code with
warnings as errors, simdutf as it comes. Only compiled and linked, never run.

    python tools/check_cross.py [TARGET ...]
        (default: aarch64-macos x86_64-macos x86_64-windows-gnu)

For Windows only the codec (and simdutf) is built, into a DLL whose exports are
checked against the header: Python's headers here are configured for Linux, and
Windows' own are not to be had (the module's Windows code is compiled by the
release workflow only).

Needs the ziglang and pybind11 packages; the headers are the running
interpreter's (what the compiler checks does not depend on their platform).
"""
import os
import re
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
# What the portable build (CMakeLists.txt's VANTRA_PORTABLE) adds for our code.
PORTABLE = ["-DVANTRA_PORTABLE", "-DVANTRA_DIAG_PRINTF_FLOATS", "-Wpedantic"]
# The first four bytes of a 64-bit Mach-O file, then its processor type.
MACHO = {"aarch64": 0x0100000C, "x86_64": 0x01000007}


def zig(*args):
    return [sys.executable, "-m", "ziglang", *args]


def sources(codec_only=False):
    """The module's sources, (path, ours): ours with warnings as errors, simdutf as it comes."""
    return ([(f"codec/{name}.cpp", True) for name in CODEC]
            + ([] if codec_only else [(f"binding/{name}.cpp", True) for name in BINDING])
            + [("third_party/simdutf/simdutf.cpp", False)])


# The public header alone, from C and from C++: compiled, never linked.
HEADER_CHECKS = [("codec/header_check.c", ["cc", "-std=c99"]), ("codec/header_check.cpp", ["c++", "-std=c++17"])]


def compile_all(target, out, codec_only=False, ours_also=()):
    include = ["-I", "codec", "-isystem", "third_party/simdutf", "-isystem", sysconfig.get_paths()["include"],
               "-isystem", pybind11.get_include()]
    ours = ["-Wall", "-Wextra", "-Werror", "-fvisibility=hidden", "-fPIC", "-O2", *ours_also]
    theirs = ["-w", "-fvisibility=hidden", "-fPIC", "-O2"]
    jobs = [(source, ["c++", "-std=c++17"] + (ours if own else theirs)) for source, own in sources(codec_only)]
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
    # The loader is left to find the interpreter's symbols, so the link would
    # also pass a function of ours that nothing defines: none may be undefined.
    undefined = macho_undefined(data)
    ours = sorted(name for name in undefined if "vantra" in name or name.lstrip("_").startswith("cbor_"))
    if ours or not any(name.startswith("_Py") for name in undefined):
        sys.exit(f"{path}: undefined symbols of ours: {ours}" if ours else f"{path}: no symbol table read")


def macho_undefined(data):
    """The undefined external symbols of a 64-bit Mach-O file."""
    def word(at, size=4):
        return int.from_bytes(data[at:at + size], "little")
    at, names = 32, set()
    for _ in range(word(16)):  # load commands
        if word(at) == 0x2:  # LC_SYMTAB
            symbols, count, strings = word(at + 8), word(at + 12), word(at + 16)
            for entry in range(symbols, symbols + 16 * count, 16):
                kind = data[entry + 4]
                if kind & 0x01 and not kind & 0x0E:  # external, undefined
                    start = strings + word(entry)
                    names.add(data[start:data.index(b"\0", start)].decode())
        at += word(at + 4)
    return names


def pe_exports(data):
    """The processor and the exported names of a PE (Windows) DLL."""
    def word(at, size=4):
        return int.from_bytes(data[at:at + size], "little")
    pe = word(0x3C)
    if data[:2] != b"MZ" or data[pe:pe + 4] != b"PE\0\0":
        return None, set()
    machine, sections, optional = word(pe + 4, 2), word(pe + 6, 2), pe + 24
    table = optional + word(pe + 20, 2)

    def offset(rva):  # where an address of the loaded image lies in the file
        for at in range(table, table + 40 * sections, 40):
            size, address, raw_size, raw = word(at + 8), word(at + 12), word(at + 16), word(at + 20)
            if address <= rva < address + max(size, raw_size):
                return raw + rva - address
        sys.exit(f"export table address {rva:#x} in no section")
    exports = offset(word(optional + 112))  # the first data directory (PE32+)
    names = offset(word(exports + 32))
    found = set()
    for i in range(word(exports + 24)):
        at = offset(word(names + 4 * i))
        found.add(data[at:data.index(b"\0", at)].decode())
    return machine, found


def check_dll(path):
    with open(path, "rb") as f:
        machine, exported = pe_exports(f.read())
    if machine != 0x8664:
        sys.exit(f"{path}: not an x86-64 PE file (machine {machine})")
    with open(os.path.join(ROOT, "codec", "cbor.h")) as f:
        declared = set(re.findall(r"^CBOR_EXPORT\b[^;(\[]*?\b(_?cbor_\w+)\s*[(\[]", f.read(), re.M))
    missing = declared - exported
    if not declared or missing:
        sys.exit(f"{path}: does not export {sorted(missing) or 'what the header declares'}")
    return len(declared)


def main(targets):
    for target in targets or ["aarch64-macos", "x86_64-macos", "x86_64-windows-gnu"]:
        start = time.monotonic()
        out = os.path.join(ROOT, "build", "cross", target)
        os.makedirs(out, exist_ok=True)
        windows = "windows" in target
        objects = compile_all(target, out, codec_only=windows)
        if windows:
            dll = os.path.join(out, "cbor_codec.dll")
            run(zig("c++", "-target", target, "-shared", "-o", dll, *objects), "link")
            count = check_dll(dll)
            print(f"{target}: the codec's {len(objects)} sources compiled and linked in "
                  f"{time.monotonic() - start:.0f} s, its {count} functions exported")
            continue
        bundle = os.path.join(out, "vantra_cbor.so")
        # The interpreter's symbols are found when it loads the bundle.
        run(zig("c++", "-target", target, "-shared", "-undefined", "dynamic_lookup", "-o", bundle, *objects), "link")
        if target.endswith("macos"):
            check_bundle(bundle, target)
        print(f"{target}: {len(objects)} sources compiled and linked in {time.monotonic() - start:.0f} s")
        if target == "aarch64-macos":
            # The portable build's fallbacks, which gcc builds in make test-portable, by clang too.
            start = time.monotonic()
            out = os.path.join(ROOT, "build", "cross", target + "-portable")
            os.makedirs(out, exist_ok=True)
            objects = compile_all(target, out, ours_also=PORTABLE)
            print(f"{target}, portable: {len(objects)} sources compiled in {time.monotonic() - start:.0f} s")


if __name__ == "__main__":
    main(sys.argv[1:])

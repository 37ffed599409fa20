"""The module built for 64-bit ARM and for big-endian s390x Linux, and the demo and
the suite run there under user-mode emulation, on Debian's CPython 3.11 for each.

    python tools/check_foreign.py [--suite full|trimmed] [ARCH ...]    (default: full, arm64 s390x)

For each architecture: the interpreter's packages and NumPy's (Debian bookworm's,
unpacked into a tree by tools/debian_pythons.py: a root for the emulator), the
module cross-compiled against that interpreter's headers as the release wheel is
built (CMakeLists.txt's flags), the test requirements as wheels for that processor
(pure Python where PyPI has none) installed by this machine's pip, then the demo,
and the suites of both architectures side by side, one per core, under
qemu-ARCH-static. Only the interpreter runs emulated.

The compilers are Debian's cross GCC, as the release wheels are built by GCC (the
link-time optimisation and inlining options are GCC's), and apt is needed for the
emulator anyway: both are installed with apt-get when missing.
"""
import argparse
import concurrent.futures
import json
import os
import shutil
import subprocess
import sys
import time

import pybind11

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import check_cross  # noqa: E402
import debian_pythons  # noqa: E402

ROOT = os.path.dirname(HERE)
VERSION = "3.11"
SUITE = "bookworm"  # the Debian release whose python3-numpy is built for 3.11
# Debian architecture: (GCC prefix, emulator, the platform tag of PyPI's wheels).
TARGETS = {
    "arm64": ("aarch64-linux-gnu", "qemu-aarch64-static", "manylinux2014_aarch64"),
    "s390x": ("s390x-linux-gnu", "qemu-s390x-static", "manylinux2014_s390x"),
}
# What the suite imports; cbor-diag (Rust) is left out where it has no wheel, and
# its tests skip. mypy and pyright are left out: the stub tests skip without them.
REQUIREMENTS = ["pytest", "hypothesis", "cbor2"]
OPTIONAL = ["cbor-diag"]
# The trimmed suite (--suite trimmed): the codec's byte-exact tables, round trips
# against cbor2, hostile input, typed arrays in both byte orders, the small-stack threads.
TRIMMED = ["tests/test_writer.py", "tests/test_reader.py", "tests/test_float.py", "tests/test_scan.py",
           "tests/test_roundtrip.py", "tests/test_codec_roundtrip.py", "tests/test_hostile.py", "tests/test_types.py",
           "tests/test_loads.py::test_typed_arrays", "tests/test_encoder.py::test_typed_arrays",
           "tests/test_encoder.py::test_arrays_read_back", "tests/test_nesting.py::test_small_thread_stacks"]


def log(message):
    print("check_foreign: " + message, file=sys.stderr, flush=True)


def run(command, **kwargs):
    subprocess.run(command, check=True, **kwargs)


def ensure_tools(arches):
    """The emulators and cross compilers, from Debian's packages when missing."""
    missing = []
    for arch in arches:
        prefix, emulator, _ = TARGETS[arch]
        if not shutil.which(emulator):
            missing.append("qemu-user-static")
        if not shutil.which(prefix + "-g++"):
            missing.append("g++-" + prefix)
    if missing:
        log("installing " + " ".join(sorted(set(missing))))
        run(["apt-get", "update", "-q"], stdout=subprocess.DEVNULL)
        run(["apt-get", "install", "-y", "-q", "--no-install-recommends"] + sorted(set(missing)),
            stdout=subprocess.DEVNULL)


def setup_tree(arch):
    """The interpreter and NumPy unpacked into the architecture's tree (both only once)."""
    python = debian_pythons.setup([VERSION], debian_pythons.default_root(), SUITE, arch)[0]
    tree = os.path.dirname(os.path.dirname(os.path.dirname(python)))
    stamp = os.path.join(tree, ".numpy-packages")
    if not os.path.exists(stamp):
        root = debian_pythons.default_root()
        apt = debian_pythons.Apt(root, SUITE, arch, debian_pythons.system_mirror())
        apt.update()
        packages = apt.resolve(["python3-numpy"])
        debs = os.path.join(root, "debs")
        apt.download(packages, debs)
        debian_pythons.unpack([os.path.join(debs, deb) for _, _, deb in packages], tree)
        # The links that the BLAS and LAPACK packages leave to update-alternatives.
        libraries = os.path.join(tree, "usr", "lib", TARGETS[arch][0])
        for name in ("blas/libblas.so.3", "lapack/liblapack.so.3"):
            link = os.path.join(libraries, os.path.basename(name))
            if not os.path.lexists(link):
                os.symlink(name, link)
        with open(stamp, "w") as f:
            f.write("".join("%s %s\n" % (name, version) for name, version, _ in packages))
    return tree, python


# As CMakeLists.txt builds the release wheel with GCC: link-time optimisation but
# for simdutf, the stack lookup (its chosen glibc symbol versions) and the two
# handler-set files (inlining tuned for them), the C++ runtime linked in, hidden.
RELEASE = ["-O2", "-DNDEBUG", "-std=c++17", "-fPIC", "-fvisibility=hidden"]
OURS = RELEASE + ["-flto=auto", "-fno-fat-lto-objects", "-fno-semantic-interposition", "-Wall", "-Wextra",
                  "-Werror"]
PER_FILE = {
    "binding/stack.cpp": ["-fno-lto"],
    "binding/module.cpp": ["-fno-lto", "--param=max-inline-insns-single=1000", "--param=max-inline-insns-auto=1000",
                           "--param=inline-unit-growth=1000", "--param=large-function-growth=1000"],
}
PER_FILE["binding/encoder_type.cpp"] = PER_FILE["binding/module.cpp"]
SIMDUTF = RELEASE + ["-fvisibility-inlines-hidden", "-w"]
LINK = ["-shared", "-O2", "-flto=auto", "-fno-semantic-interposition", "-static-libstdc++",
        "-Wl,--exclude-libs,libstdc++.a", "-Wl,--gc-sections", "-pthread"]


def build(arch, tree, out):
    """The module, compiled against the tree's Python headers (its own pyconfig.h)."""
    prefix = TARGETS[arch][0]
    cxx = prefix + "-g++"
    # Debian's pyconfig.h includes <TRIPLET/pythonX.Y/pyconfig.h>, the architecture's
    # own: a folder of that one alone, not the tree's C library headers.
    multiarch = os.path.join(out, "include", prefix)
    os.makedirs(multiarch, exist_ok=True)
    link = os.path.join(multiarch, "python" + VERSION)
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(os.path.join(tree, "usr", "include", prefix, "python" + VERSION), link)
    include = ["-I", "codec", "-I", "third_party/simdutf",
               "-isystem", os.path.join(tree, "usr", "include", "python" + VERSION),
               "-isystem", os.path.join(out, "include"), "-isystem", pybind11.get_include()]
    objects = os.path.join(out, "objects")
    os.makedirs(objects, exist_ok=True)

    def compile_one(job):
        source, ours = job
        obj = os.path.join(objects, source.replace("/", "_") + ".o")
        flags = OURS + PER_FILE.get(source, []) if ours else SIMDUTF
        proc = subprocess.run([cxx] + flags + include + ["-c", source, "-o", obj], cwd=ROOT, capture_output=True,
                              text=True)
        if proc.returncode != 0 or proc.stderr.strip():
            sys.exit("check_foreign: %s for %s:\n%s" % (source, arch, proc.stderr))
        return obj

    with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 1) as pool:
        # simdutf first: the longest by far.
        jobs = sorted(check_cross.sources(), key=lambda job: job[1])
        objs = list(pool.map(compile_one, jobs))
    package = os.path.join(site_packages(out), "vantra_cbor")
    shutil.rmtree(package, ignore_errors=True)
    os.makedirs(package)
    suffix = ".cpython-%s-%s.so" % (VERSION.replace(".", ""), prefix)
    proc = subprocess.run([cxx] + LINK + ["-o", os.path.join(package, "__init__" + suffix)] + objs,
                          capture_output=True, text=True)
    if proc.returncode != 0 or proc.stderr.strip():
        sys.exit("check_foreign: link for %s:\n%s" % (arch, proc.stderr))
    # The package as the wheel lays it out (CMakeLists.txt's install rules).
    for source, name in [("vantra_cbor.pyi", "__init__.pyi"), ("py.typed", "py.typed"), ("_cli.py", "_cli.py"),
                         ("__main__.py", "__main__.py")]:
        shutil.copy(os.path.join(ROOT, "binding", source), os.path.join(package, name))


def install_requirements(arch, out):
    """The suite's requirements as the interpreter there would install them, by this machine's pip."""
    target = os.path.join(out, "requirements")
    stamp = os.path.join(target, ".installed")
    wanted = " ".join(REQUIREMENTS + OPTIONAL)
    if os.path.exists(stamp) and open(stamp).read() == wanted:
        return
    shutil.rmtree(target, ignore_errors=True)
    pip = [sys.executable, "-m", "pip", "install", "-q", "--target", target, "--only-binary=:all:",
           "--python-version", VERSION, "--implementation", "cp", "--abi", "cp" + VERSION.replace(".", ""),
           "--platform", TARGETS[arch][2], "--platform", "any", "--upgrade"]
    run(pip + REQUIREMENTS)
    for name in OPTIONAL:
        if subprocess.run(pip + [name], stderr=subprocess.DEVNULL).returncode != 0:
            log("%s: no %s wheel for %s, its tests skip" % (arch, name, TARGETS[arch][2]))
    with open(stamp, "w") as f:
        f.write(wanted)


LAUNCHER = r"""
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char **argv) {
    char **args = calloc(argc + 4, sizeof *args);
    if (!args) return 127;
    args[0] = EMULATOR; args[1] = "-L"; args[2] = TREE; args[3] = PYTHON;
    for (int i = 1; i < argc; i++) args[i + 3] = argv[i];
    execv(EMULATOR, args);
    perror(EMULATOR);
    return 127;
}
"""


def write_launcher(arch, tree, python, out):
    """An executable of this machine that runs the tree's interpreter under the
    emulator, made the interpreter's sys.executable so that the suite's
    subprocesses run there too (no binfmt_misc needed: containers seldom have
    it). Static: a variable such as LD_PRELOAD meant for the interpreter there
    goes through it untouched, and no loader of this machine complains about it."""
    emulator = shutil.which(TARGETS[arch][1])
    source, launcher = os.path.join(out, "launcher.c"), os.path.join(out, "python" + VERSION)
    with open(source, "w") as f:
        for name, value in (("EMULATOR", emulator), ("TREE", tree), ("PYTHON", python)):
            f.write("#define %s %s\n" % (name, json.dumps(value)))
        f.write(LAUNCHER)
    run([os.environ.get("CC", "cc"), "-static", "-O2", "-Wall", "-Wextra", "-o", launcher, source])
    return launcher


def site_packages(out):
    """The interpreter's user site (PYTHONUSERBASE): tests set PYTHONPATH for their
    subprocesses, but leave that alone."""
    return os.path.join(out, "userbase", "lib", "python" + VERSION, "site-packages")


def stage_site(out, launcher):
    """The requirements on the path and sys.executable set to the launcher, by a .pth file."""
    with open(os.path.join(site_packages(out), "foreign.pth"), "w") as f:
        f.write(os.path.join(out, "requirements") + "\n")
        f.write("import sys; sys.executable = %r\n" % launcher)
    return os.path.join(out, "userbase")


def prepare(arch):
    """Sets the architecture up and builds for it: (its launcher and environment, times)."""
    out = os.path.join(ROOT, "build", "foreign", arch)
    start = time.monotonic()
    tree, python = setup_tree(arch)
    install_requirements(arch, out)
    setup = time.monotonic() - start
    start = time.monotonic()
    build(arch, tree, out)
    launcher = write_launcher(arch, tree, python, out)
    env = dict(os.environ, PYTHONUSERBASE=stage_site(out, launcher), PYTHONDONTWRITEBYTECODE="1")
    env.pop("PYTHONPATH", None)
    return out, launcher, env, [("setup", setup), ("build", time.monotonic() - start)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("arches", nargs="*", metavar="ARCH", help="arm64, s390x (default: both)")
    parser.add_argument("--suite", choices=["full", "trimmed"], default="full")
    args = parser.parse_args()
    arches = args.arches or list(TARGETS)
    for arch in arches:
        if arch not in TARGETS:
            sys.exit("check_foreign: unknown architecture %r (known: %s)" % (arch, ", ".join(TARGETS)))
    ensure_tools(arches)
    prepared = {arch: prepare(arch) for arch in arches}  # the compiler takes every core
    for arch, (out, launcher, env, _) in prepared.items():
        log("%s: the demo" % arch)
        run([launcher, "examples/demo.py"], cwd=ROOT, env=env)
    # One emulated interpreter per core: the suites side by side, each into its log.
    tests = TRIMMED if args.suite == "trimmed" else []
    running = {}
    for arch, (out, launcher, env, _) in prepared.items():
        log("%s: the %s suite (%s)" % (arch, args.suite, os.path.join(out, "pytest.log")))
        with open(os.path.join(out, "pytest.log"), "w") as f:
            running[arch] = (subprocess.Popen([launcher, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-rs"] + tests,
                                              cwd=ROOT, env=env, stdout=f, stderr=subprocess.STDOUT),
                             time.monotonic())
    failed = []
    for arch, (proc, start) in running.items():
        if proc.wait() != 0:
            failed.append(arch)
        prepared[arch][3].append(("%s suite" % args.suite, time.monotonic() - start))
    for arch, (out, _, _, times) in prepared.items():
        print("==== %s ====" % arch, flush=True)
        with open(os.path.join(out, "pytest.log")) as f:
            sys.stdout.write(f.read())
        log("%s: %s" % (arch, ", ".join("%s %.0f s" % t for t in times)))
    if failed:
        sys.exit("check_foreign: the suite failed on " + ", ".join(failed))


if __name__ == "__main__":
    main()

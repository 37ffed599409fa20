#!/usr/bin/env python3
"""CPython interpreters that this system lacks, from Debian's testing distribution.

    python3 tools/debian_pythons.py [--root DIR] [--suite SUITE] [--arch ARCH] VERSION...

Downloads the interpreter's packages (pythonX.Y, its -minimal, -stdlib, -dev and
-venv packages, and every library they need, a newer libc6 among them) with
apt-get, through a package list of its own: the system's sources, package lists
and installed packages are left alone. They are unpacked with dpkg-deb into
ROOT/ARCH, a tree laid out as a system's root. For this machine's architecture
the interpreter is then made to run like an installed one: patched to use
that tree's loader and libraries, and started by ROOT/bin/pythonX.Y; its
subprocesses and `-m venv` environments work as usual. The system's Python is
never touched. Prints one interpreter path per version.

Quick and offline once done: a version already set up is only checked to run.
ROOT defaults to $VANTRA_PYTHONS, else ~/.cache/vantra-pythons; the archive to
the Debian one the system's apt sources name ($VANTRA_DEBIAN_MIRROR sets
another). For another architecture (--arch arm64, say) the packages are only
downloaded and unpacked: the tree is a root for an emulator (`qemu-aarch64 -L`),
and its interpreter path is printed.
"""
import argparse
import fcntl
import glob
import os
import re
import subprocess
import sys
import tempfile

# Where each architecture's libraries and loader are (multiarch triplet, loader).
ARCHITECTURES = {
    "amd64": ("x86_64-linux-gnu", "ld-linux-x86-64.so.2"),
    "arm64": ("aarch64-linux-gnu", "ld-linux-aarch64.so.1"),
    "s390x": ("s390x-linux-gnu", "ld64.so.1"),
    "ppc64el": ("powerpc64le-linux-gnu", "ld64.so.2"),
    "i386": ("i386-linux-gnu", "ld-linux.so.2"),
}

# Checked at setup: the modules a test run and a virtual environment need.
PROBE = ("import sys, ssl, sqlite3, ctypes, zlib, bz2, lzma, decimal, venv, ensurepip; "
         "print('%d.%d' % sys.version_info[:2])")


def default_root():
    return os.environ.get("VANTRA_PYTHONS") or os.path.join(os.path.expanduser("~"), ".cache", "vantra-pythons")


def log(message):
    print("debian_pythons: " + message, file=sys.stderr, flush=True)


def host_architecture():
    return subprocess.run(["dpkg", "--print-architecture"], check=True, capture_output=True,
                          text=True).stdout.strip()


def system_mirror():
    """The Debian archive that the system's own apt sources use."""
    if os.environ.get("VANTRA_DEBIAN_MIRROR"):
        return os.environ["VANTRA_DEBIAN_MIRROR"]
    codename = ""
    with open("/etc/os-release") as f:
        for line in f:
            if line.startswith("VERSION_CODENAME="):
                codename = line.split("=", 1)[1].strip().strip('"')
    targets = subprocess.run(["apt-get", "indextargets", "--no-release-info", "--format",
                              "$(REPO_URI) $(RELEASE) $(TARGET_OF)"],
                             check=True, capture_output=True, text=True).stdout.split("\n")
    for line in targets:
        fields = line.split()
        if len(fields) == 3 and fields[1] == codename and fields[2] == "deb":
            return fields[0]
    sys.exit("debian_pythons: no Debian archive for %r in the system's apt sources: "
             "set VANTRA_DEBIAN_MIRROR" % codename)


class Apt:
    """apt-get over a package list of its own: one suite, one architecture, nothing installed."""

    def __init__(self, root, suite, arch, mirror):
        self.dir = os.path.join(root, "apt", "%s-%s" % (suite, arch))
        for sub in ("lists/partial", "cache/archives/partial", "state", "empty"):
            os.makedirs(os.path.join(self.dir, sub), exist_ok=True)
        with open(os.path.join(self.dir, "sources.list"), "w") as f:
            f.write("deb [arch=%s] %s %s main\n" % (arch, mirror, suite))
        open(os.path.join(self.dir, "state", "status"), "a").close()
        d = self.dir
        self.options = [
            "-o", "Dir::Etc::sourcelist=%s/sources.list" % d,
            "-o", "Dir::Etc::sourceparts=%s/empty" % d,
            "-o", "Dir::Etc::preferences=%s/empty/preferences" % d,
            "-o", "Dir::Etc::preferencesparts=%s/empty" % d,
            "-o", "Dir::State=%s/state" % d,
            "-o", "Dir::State::status=%s/state/status" % d,  # empty: every dependency is downloaded
            "-o", "Dir::State::Lists=%s/lists" % d,
            "-o", "Dir::Cache=%s/cache" % d,
            "-o", "APT::Architecture=%s" % arch,
            "-o", "APT::Architectures=%s" % arch,
            "-o", "Debug::NoLocking=1",  # the system's locks stay with the system's apt
        ]
        if os.geteuid() == 0:  # root's apt downloads as _apt, which cannot write to this folder
            self.options += ["-o", "APT::Sandbox::User=root"]

    def run(self, *args, **kwargs):
        return subprocess.run(["apt-get", "-q"] + self.options + list(args), check=True, **kwargs)

    def update(self):
        self.run("update", stdout=subprocess.DEVNULL)

    def resolve(self, packages):
        """Every package (name, version, file name) that installing packages takes, recommendations aside."""
        out = self.run("install", "--print-uris", "-qq", "--no-install-recommends", *packages,
                       capture_output=True, text=True).stdout
        found = []
        for line in out.splitlines():
            fields = line.split()
            if len(fields) >= 2 and fields[1].endswith(".deb"):
                name, version = re.match(r"([^_]+)_([^_]+)_", fields[1]).groups()
                found.append((name, version.replace("%3a", ":"), fields[1]))
        return found

    def download(self, packages, folder):
        """Downloads (name, version, file) packages into folder, but for those already there."""
        os.makedirs(folder, exist_ok=True)
        missing = ["%s=%s" % (name, version) for name, version, deb in packages
                   if not os.path.exists(os.path.join(folder, deb))]
        if missing:
            self.run("download", *missing, cwd=folder, stdout=subprocess.DEVNULL)


def unpack(debs, tree):
    """Unpacks the .deb files into tree, then gives it the merged /usr links of a Debian root."""
    os.makedirs(tree, exist_ok=True)
    for deb in debs:
        subprocess.run(["dpkg-deb", "-x", deb, tree], check=True)
    for name in ("bin", "sbin", "lib", "lib64"):
        link, target = os.path.join(tree, name), os.path.join(tree, "usr", name)
        if os.path.isdir(target) and not os.path.lexists(link):
            os.symlink(os.path.join("usr", name), link)


def loader_of(tree, arch):
    triplet, loader = ARCHITECTURES[arch]
    for folder in ("usr/lib64", "usr/lib/" + triplet, "usr/lib", "lib64", "lib/" + triplet, "lib"):
        path = os.path.join(tree, folder, loader)
        if os.path.exists(path):
            return path
    sys.exit("debian_pythons: no %s in %s" % (loader, tree))


def library_path(tree, arch):
    triplet = ARCHITECTURES[arch][0]
    return ":".join(p for p in (os.path.join(tree, "usr/lib", triplet), os.path.join(tree, "lib", triplet))
                    if os.path.isdir(p) and not os.path.islink(p))


def make_runnable(tree, arch, version):
    """Lets tree's pythonX.Y run as an installed interpreter on this machine."""
    loader, libraries = loader_of(tree, arch), library_path(tree, arch)
    python = os.path.join(tree, "usr/bin/python" + version)
    # The tree's own patchelf, through the tree's loader: the system needs none.
    patchelf = [loader, "--library-path", libraries, os.path.join(tree, "usr/bin/patchelf")]
    # RPATH rather than RUNPATH: it also serves the libraries that the standard
    # library's extension modules load (libssl, libsqlite3, ...). Two calls:
    # patchelf 0.18 given both changes at once wrote a binary that crashed.
    subprocess.run(patchelf + ["--force-rpath", "--set-rpath", libraries, python], check=True)
    subprocess.run(patchelf + ["--set-interpreter", loader, python], check=True)
    # Debian's pyconfig.h picks the architecture's own through the compiler's
    # system include path, which is not this tree's.
    triplet = ARCHITECTURES[arch][0]
    wrapper = os.path.join(tree, "usr/include/python%s/pyconfig.h" % version)
    os.remove(wrapper)
    os.symlink(os.path.join("..", triplet, "python" + version, "pyconfig.h"), wrapper)
    # ensurepip takes pip from the wheel folder the build names: this tree's.
    stdlib = os.path.join(tree, "usr/lib/python" + version)
    for data in glob.glob(os.path.join(stdlib, "_sysconfigdata_*.py")):
        with open(data) as f:
            text = f.read()
        with open(data, "w") as f:
            f.write(text.replace("'/usr/share/python-wheels/'",
                                 repr(os.path.join(tree, "usr/share/python-wheels") + "/")))
        for cached in glob.glob(os.path.join(stdlib, "__pycache__", os.path.basename(data)[:-3] + ".*")):
            os.remove(cached)


def write_launcher(path, python):
    """A pythonX.Y to put on PATH that runs the tree's: not a link, which the
    interpreter would take for its home, looking for its library beside it."""
    with open(path + ".new", "w") as f:
        f.write('#!/bin/sh\nexec "%s" "$@"\n' % python)
    os.chmod(path + ".new", 0o755)
    os.replace(path + ".new", path)


def works(python, version):
    """True when python runs as pythonX.Y with the modules a test run needs."""
    try:
        out = subprocess.run([python, "-c", PROBE], capture_output=True, text=True, timeout=60)
    except OSError:
        return False
    return out.returncode == 0 and out.stdout.strip() == version


def check_venv(python):
    with tempfile.TemporaryDirectory() as folder:
        subprocess.run([python, "-m", "venv", folder], check=True)
        subprocess.run([os.path.join(folder, "bin", "python"), "-m", "pip", "--version"], check=True,
                       stdout=subprocess.DEVNULL)


def packages_for(version):
    return ["python%s" % version, "python%s-minimal" % version, "libpython%s-minimal" % version,
            "libpython%s-stdlib" % version, "libpython%s" % version, "python%s-dev" % version,
            "libpython%s-dev" % version, "python%s-venv" % version]


def setup(versions, root, suite, arch):
    """Sets the versions up (those not done yet) and returns their interpreter paths."""
    native = arch == host_architecture()
    tree = os.path.join(root, arch)
    bin_dir = os.path.join(root, "bin") if native else os.path.join(tree, "usr", "bin")
    stamp = os.path.join(tree, ".python%s-packages")
    paths = {v: os.path.join(bin_dir, "python" + v) for v in versions}
    os.makedirs(root, exist_ok=True)
    with open(os.path.join(root, ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)  # one setup at a time
        todo = [v for v in versions if not (os.path.exists(stamp % v) and (not native or works(paths[v], v)))]
        if todo:
            log("setting up Python %s (%s, %s) in %s" % (", ".join(todo), suite, arch, tree))
            apt = Apt(root, suite, arch, system_mirror())
            apt.update()
            wanted = [p for v in todo for p in packages_for(v)] + (["patchelf"] if native else [])
            packages = apt.resolve(wanted)
            absent = sorted(set(wanted) - {name for name, _, _ in packages})
            if absent:
                sys.exit("debian_pythons: %s has no %s" % (suite, ", ".join(absent)))
            debs = os.path.join(root, "debs")
            apt.download(packages, debs)
            unpack([os.path.join(debs, deb) for _, _, deb in packages], tree)
            for v in todo:
                if native:
                    make_runnable(tree, arch, v)
                    os.makedirs(bin_dir, exist_ok=True)
                    write_launcher(paths[v], os.path.join(tree, "usr", "bin", "python" + v))
                    if not works(paths[v], v):
                        sys.exit("debian_pythons: %s does not run as Python %s" % (paths[v], v))
                    check_venv(paths[v])
                with open(stamp % v, "w") as f:
                    f.write("".join("%s %s\n" % (name, version) for name, version, _ in packages))
            log("done: %s" % ", ".join("%s %s" % (name, version) for name, version, _ in packages
                                       if name.startswith("python3.")))
    return [paths[v] for v in versions]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("versions", nargs="+", metavar="VERSION", help="3.14, 3.15, ...")
    parser.add_argument("--root", default=default_root(), help="the folder of its own (default: %(default)s)")
    parser.add_argument("--suite", default="forky", help="Debian suite (default: %(default)s)")
    parser.add_argument("--arch", default=None, help="Debian architecture (default: this machine's)")
    args = parser.parse_args()
    arch = args.arch or host_architecture()
    if arch not in ARCHITECTURES:
        sys.exit("debian_pythons: unknown architecture %r (known: %s)" % (arch, ", ".join(ARCHITECTURES)))
    for path in setup(args.versions, os.path.abspath(args.root), args.suite, arch):
        print(path)


if __name__ == "__main__":
    main()

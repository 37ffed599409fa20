"""The supported interpreters, and where this machine has each."""
import glob
import os
import shutil

SUPPORTED = ["3.7", "3.8", "3.9", "3.10", "3.11", "3.12", "3.13", "3.14", "3.15"]


def debian_pythons():
    """The folder where tools/debian_pythons.py sets up the interpreters this system lacks."""
    return os.environ.get("VANTRA_PYTHONS") or os.path.join(os.path.expanduser("~"), ".cache", "vantra-pythons")


def find(version):
    """The newest pyenv build of this minor version, else pythonX.Y on PATH, else the one
    tools/debian_pythons.py set up."""
    root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    builds = glob.glob(os.path.join(root, "versions", version + ".*", "bin", "python" + version))
    patch = {b: b.split(os.sep)[-3][len(version) + 1:] for b in builds}
    builds = [b for b in builds if patch[b].isdigit()]
    if builds:
        return max(builds, key=lambda b: int(patch[b]))
    found = shutil.which("python" + version)
    if found:
        return found
    launcher = os.path.join(debian_pythons(), "bin", "python" + version)
    return launcher if os.access(launcher, os.X_OK) else None

"""The supported interpreters, and where this machine has each."""
import glob
import os
import shutil

SUPPORTED = ["3.7", "3.8", "3.9", "3.10", "3.11", "3.12", "3.13"]


def find(version):
    """The newest pyenv build of this minor version, else pythonX.Y on PATH."""
    root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    builds = glob.glob(os.path.join(root, "versions", version + ".*", "bin", "python" + version))
    patch = {b: b.split(os.sep)[-3][len(version) + 1:] for b in builds}
    builds = [b for b in builds if patch[b].isdigit()]
    if builds:
        return max(builds, key=lambda b: int(patch[b]))
    return shutil.which("python" + version)

"""The programs the bench measures, and copies of them that a rebuild meanwhile cannot swap."""

import os
import shutil
import subprocess
import sys
import tempfile

BENCH = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(BENCH)
BUILD = os.path.join(REPO, "build")
QUORVA = os.path.join(BUILD, "bin", "quorva")
FLOOR = os.path.join(BUILD, "bin", "quorva_bench_floor")
GL_PROBE = os.path.join(BUILD, "bin", "quorva_bench_gl_probe")
CATALOG = os.path.join(BUILD, "share", "quorva", "catalog.py")
PAGE_SERVER = os.path.join(BENCH, "page_server.py")
RESULTS = os.path.join(BENCH, "results.md")
PYTHON = "/usr/bin/python3"
CHROMIUM = shutil.which("chromium", path="/usr/bin:/bin")


def build_floor():
    result = subprocess.run(["cmake", "--build", BUILD, "--target", "quorva_bench_floor",
                             "quorva_bench_gl_probe"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        sys.exit(f"bench: could not build the floor program:\n{result.stderr}")


def snapshot():
    """Copies of the programs, laid out as in the build tree: the build directory is shared,
    and a rebuild during the run must not swap the binary between two runs."""
    global QUORVA, FLOOR, GL_PROBE, CATALOG
    root = tempfile.mkdtemp(prefix="quorva-bench-programs-")
    os.makedirs(os.path.join(root, "bin"))
    shutil.copytree(os.path.dirname(CATALOG), os.path.join(root, "share", "quorva"))
    QUORVA = shutil.copy2(QUORVA, os.path.join(root, "bin"))
    if os.path.exists(FLOOR):
        FLOOR = shutil.copy2(FLOOR, os.path.join(root, "bin"))
    if os.path.exists(GL_PROBE):
        GL_PROBE = shutil.copy2(GL_PROBE, os.path.join(root, "bin"))
    CATALOG = os.path.join(root, "share", "quorva", "catalog.py")
    return root

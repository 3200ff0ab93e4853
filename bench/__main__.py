"""Start-up, memory, shutdown, output and idle figures of QUORVA, side by side with
a bare WebKitGTK window (the floor) and Chromium in app mode, on the same page.

    bench/run                 every figure, both rendering environments, 5 runs each
    bench/run --runs 3        fewer runs
    bench/run --soak 200      start/stop cycles with the bundled catalog only

Writes bench/results.md and prints it. Needs build/bin/quorva already built; builds
the floor program itself.
"""

import argparse
import os
import shutil
import sys
import time

from . import programs
from .report import SOAK_HEADING, results_page, write_results
from .scenarios import ENVIRONMENTS, note, run_environment
from .soak import soak


def benchmark(runs, names):
    begun = time.monotonic()
    all_figures = [run_environment(n, e, runs) for n, e in ENVIRONMENTS if n in names]
    return write_results(main=results_page(all_figures, runs, time.monotonic() - begun))


def main():
    parser = argparse.ArgumentParser(prog="bench/run", description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=5, help="runs per figure (default 5)")
    parser.add_argument("--soak", type=int, metavar="N",
                        help="only N start/stop cycles with the bundled catalog")
    parser.add_argument("--env", action="append", choices=[n for n, _ in ENVIRONMENTS],
                        help="only this rendering environment (repeatable)")
    args = parser.parse_args()
    if not os.access(programs.QUORVA, os.X_OK):
        sys.exit(f"bench: {programs.QUORVA} is missing; build it first "
                 "(cmake --build --preset default)")
    if not os.path.exists(programs.CATALOG):
        sys.exit(f"bench: {programs.CATALOG} is missing; build the project first")
    if args.soak is None:
        programs.build_floor()
    copies = programs.snapshot()
    try:
        if args.soak is not None:
            text = soak(max(1, args.soak))
            print(text[text.index(SOAK_HEADING):])
            return
        if not programs.CHROMIUM:
            note("bench: chromium is not installed (apt-get install -y chromium); "
                 "its column is skipped")
        names = args.env or [n for n, _ in ENVIRONMENTS]
        print(benchmark(max(1, args.runs), names))
    finally:
        shutil.rmtree(copies, ignore_errors=True)


if __name__ == "__main__":
    main()

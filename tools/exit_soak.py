"""Runs every exit case of tools/exit_cases.py many times and prints the outcomes per case.

    python tools/exit_soak.py --runs 200               # 200 runs of each case, 2 at a time
    python tools/exit_soak.py --runs 50 --cases sigint --python /path/to/python3

The interpreter under test must import _pyveltosdk and velto_sim (installed, or through
PYTHONPATH and VELTO_SIM_LIB for a development build). Exits 1 when any run was not ok and prints
the first failure of each case in full.
"""

import argparse
import collections
import concurrent.futures
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import exit_cases  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=200, help="runs of each case")
    parser.add_argument("--cases", nargs="+", choices=sorted(exit_cases.CASES),
                        default=[c for c in exit_cases.CASES if not exit_cases.skip_reason(c)])
    parser.add_argument("--python", default=sys.executable, help="interpreter under test")
    parser.add_argument("--jobs", type=int, default=2, help="runs at a time")
    parser.add_argument("--timeout", type=float, default=60.0, help="seconds before a run hangs")
    args = parser.parse_args()

    version = subprocess.run([args.python, "-c", "import sys; print(sys.version.split()[0])"],
                             capture_output=True, text=True, check=True).stdout.strip()
    print("CPython %s (%s): %d runs of each case, %d at a time"
          % (version, args.python, args.runs, args.jobs), flush=True)
    failed = False
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        for case in args.cases:
            started = time.monotonic()
            outcomes = list(pool.map(
                lambda seed: exit_cases.run_case(case, seed, args.python, args.timeout),
                range(args.runs)))
            tally = collections.Counter(o.verdict for o in outcomes)
            summary = ", ".join("%s: %d" % item for item in sorted(tally.items()))
            print("%-14s %s  (%.0f s)" % (case, summary, time.monotonic() - started), flush=True)
            bad = [o for o in outcomes if not o.ok]
            if bad:
                failed = True
                print(bad[0].describe(), flush=True)
    print("all runs ok" if not failed else "SOME RUNS FAILED")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

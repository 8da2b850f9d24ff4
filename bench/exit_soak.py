"""Exit soak: each script of tests/python/exit_cases.py run many times in fresh interpreters, with
the exit statuses counted. Every run must exit with status 0.

  python bench/exit_soak.py                    # 100 runs of each case, 4 at once
  python bench/exit_soak.py --runs 500 --jobs 2 --case port_read

Under AddressSanitizer, run it with the sanitizer build and its runtimes preloaded, as
scripts/ci_extra.sh runs the test suite:

  LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \\
  PYTHONMALLOC=malloc PYTHONPATH=build-ci-asan/python \\
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:detect_stack_use_after_return=0 \\
  .venv/bin/python bench/exit_soak.py
"""
import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))

from exit_cases import CASES, run_case  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--runs", type=int, default=100)
    parser.add_argument("--jobs", type=int, default=4)
    parser.add_argument("--case", action="append", choices=sorted(CASES), help="default: every case")
    args = parser.parse_args()
    failed = False
    for case in args.case or sorted(CASES):
        started = time.perf_counter()
        statuses, first_failure = run_case(case, args.runs, args.jobs)
        counts = ", ".join("status %s: %d" % (s, n) for s, n in sorted(statuses.items(), key=str))
        print("%-24s %4d runs in %6.1f s  %s" % (case, args.runs, time.perf_counter() - started, counts), flush=True)
        if first_failure:
            failed = True
            print("  first failure, " + first_failure.replace("\n", "\n  "))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

"""Round trips of the native C++ pair next to a direct loop and the link's thread structure written
plainly, over the same lines, with the Python figures of bench/roundtrip.py from the same run.

The C++ rows come from build/ozu_roundtrip_probe (built with the project):
  direct   a master thread and a station thread reading and writing the line directly
  threads  querying threads, two receivers and a station worker, one mutex/condvar queue per query
  native   ozu::native::Master against ozu::native::Station with the register map `ozu-mew station`
           serves from, in one process (so over the null-modem its "round trips/s" is the rate
           `ozu-mew station` serves at)
  ozu-mew  (pty only) the native master against `ozu-mew station` running as its own process
Each C++ row gives its throughput and CPU per round trip as a ratio to `direct` from the same run.

  python bench/roundtrip_native.py                      # both lines, 1 and 4 querying threads
  python bench/roundtrip_native.py --count 20000 --rounds 5 --no-python
"""
import argparse
import os
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--line", choices=("pty", "pipe", "both"), default="both")
    parser.add_argument("--count", type=int, default=20000, help="round trips per measurement")
    parser.add_argument("--rounds", type=int, default=3, help="alternating rounds; medians are reported")
    parser.add_argument("--probe", default=os.environ.get("OZU_PROBE", str(ROOT / "build" / "ozu_roundtrip_probe")))
    parser.add_argument("--no-python", action="store_true", help="leave out the Python rows")
    args = parser.parse_args(argv)
    if not os.access(args.probe, os.X_OK):
        raise SystemExit("%s is not built (make build)" % args.probe)
    cli = ROOT / "build" / "ozu-mew"
    for threads in (1, 4):
        print("-- C++, %d querying thread%s" % (threads, "" if threads == 1 else "s"), flush=True)
        command = [args.probe, "--line", args.line, "--count", str(args.count), "--rounds", str(args.rounds),
                   "--threads", str(threads)]
        if threads == 1 and os.access(cli, os.X_OK):
            command += ["--station-binary", str(cli)]  # a pty row against `ozu-mew station` as a process
        subprocess.run(command, check=True)
    if not args.no_python:
        sys.path.insert(0, str(ROOT / "bench"))
        import roundtrip
        print("-- Python (bench/roundtrip.py)", flush=True)
        for kind in (("pty", "pipe") if args.line == "both" else (args.line,)):
            roundtrip.bench(kind, args.count)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

"""Round trips of the native C++ pair next to a direct loop and the link's thread structure written
plainly, over the same lines, with the Python master and station from the same run.

The C++ rows come from build/ozu_roundtrip_probe (built with the project):
  direct   a master thread and a station thread reading and writing the line directly
  threads  querying threads, two receivers and a station worker, one mutex/condvar queue per query
  native   ozu::native::Master against ozu::native::Station with the register map `ozu-mew station`
           serves from, in one process (so over the null-modem its "round trips/s" is the rate
           `ozu-mew station` serves at)
  ozu-mew  (pty only) the native master against `ozu-mew station` running as its own process
Each row gives its throughput and CPU per round trip as a ratio to `direct` from the same run.
The Python pair's figures against `direct` and `threads` come from bench/roundtrip.py.

  python bench/roundtrip_native.py                      # both lines, 1 and 4 querying threads
  python bench/roundtrip_native.py --count 20000 --rounds 5
"""
import argparse
import os
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]


def probe(args, threads):
    command = [args.probe, "--line", args.line, "--count", str(args.count), "--rounds", str(args.rounds),
               "--threads", str(threads)]
    cli = ROOT / "build" / "ozu-mew"
    if threads == 1 and os.access(cli, os.X_OK):
        command += ["--station-binary", str(cli)]
    subprocess.run(command, check=True)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--line", choices=("pty", "pipe", "both"), default="both")
    parser.add_argument("--count", type=int, default=20000, help="round trips per measurement")
    parser.add_argument("--rounds", type=int, default=3, help="alternating rounds; medians are reported")
    parser.add_argument("--probe", default=os.environ.get("OZU_PROBE", str(ROOT / "build" / "ozu_roundtrip_probe")))
    args = parser.parse_args(argv)
    if not os.access(args.probe, os.X_OK):
        raise SystemExit("%s is not built (make build)" % args.probe)
    for threads in (1, 4):
        print("-- %d querying thread%s" % (threads, "" if threads == 1 else "s"), flush=True)
        probe(args, threads)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

"""Round trips of the native C++ pair next to a direct loop and the link's thread structure written
plainly, over the same lines, with the Python master and station from the same run.

The C++ rows come from build/ozu_roundtrip_probe (built with the project):
  direct   a master thread and a station thread reading and writing the line directly
  threads  querying threads, two receivers and a station worker, one mutex/condvar queue per query
  native   ozu::native::Master against ozu::native::Station with the register map `ozu-mew station`
           serves from, in one process (so over the null-modem its "round trips/s" is the rate
           `ozu-mew station` serves at)
  ozu-mew  (pty only) the native master against `ozu-mew station` running as its own process
Each C++ row gives its throughput and CPU per round trip as a ratio to `direct` from the same run;
the Python rows (MewMaster against a MewFullDuplexBase, as in bench/roundtrip.py) give theirs to
`direct` and to `threads`.

  python bench/roundtrip_native.py                      # both lines, 1 and 4 querying threads
  python bench/roundtrip_native.py --count 20000 --rounds 5 --no-python
"""
import argparse
import os
import pathlib
import re
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
ROW = re.compile(r"^(pty|pipe)\s+(\S+)\s+(\d+) threads?\s+(\d+) round trips/s\s+([\d.]+) us CPU/rt")


def probe(args, threads):
    command = [args.probe, "--line", args.line, "--count", str(args.count), "--rounds", str(args.rounds),
               "--threads", str(threads)]
    cli = ROOT / "build" / "ozu-mew"
    if threads == 1 and os.access(cli, os.X_OK):
        command += ["--station-binary", str(cli)]
    out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    print(out, end="", flush=True)
    rows = {}
    for line in out.splitlines():
        m = ROW.match(line)
        if m:
            rows[(m.group(1), m.group(2))] = (float(m.group(4)), float(m.group(5)))
    return rows


def python_rows(kind, count, threads, rows):
    sys.path.insert(0, str(ROOT / "bench"))
    import roundtrip
    transport = roundtrip.Transport(kind)
    station, master = roundtrip.open_pair(transport)
    try:
        roundtrip.run(master, 500, 1)  # warm up
        n, wall, cpu = roundtrip.run(master, count, threads)
    finally:
        master.close()
        station.close()
        transport.close()
    rate, cpu_us = n / wall, cpu / n * 1e6
    ratios = "".join("   vs %s: throughput %.2f x, CPU %.2f x" % (name, rate / rows[(kind, name)][0], cpu_us / rows[(kind, name)][1])
                     for name in ("direct", "threads") if (kind, name) in rows)
    print("%-4s python  %d thread%s %9.0f round trips/s %7.1f us CPU/rt%s"
          % (kind, threads, " " if threads == 1 else "s", rate, cpu_us, ratios), flush=True)


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
    for threads in (1, 4):
        print("-- %d querying thread%s" % (threads, "" if threads == 1 else "s"), flush=True)
        rows = probe(args, threads)
        if not args.no_python:
            for kind in (("pty", "pipe") if args.line == "both" else (args.line,)):
                python_rows(kind, args.count, threads, rows)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

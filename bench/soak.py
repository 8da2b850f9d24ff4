"""Long runs that must not grow: resident memory, threads and open descriptors.

Round trips: MewMaster.get_uint16 against a MewFullDuplexBase station in the same process (the
set-up of bench/roundtrip.py), with every answer checked, reporting at intervals.
Churn: masters and stations opened, used once, stopped, started and closed again and again, with
a frame of line noise and an over-long frame in every cycle.

  python bench/soak.py                                  # 1,000,000 round trips on the null-modem, 300 cycles
  python bench/soak.py --round-trips 200000 --transport pty --threads 4 --cycles 0

Growth is measured from the first report (after a warm-up) to the last: steady state means a few
hundred KiB at most, whatever the number of round trips.
"""
import argparse
import gc
import os
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import ozu_brix  # noqa: E402
import ozu_mew  # noqa: E402
from roundtrip import Station, Transport, open_pair, rss_kib, run  # noqa: E402


def fd_count():
    return len(os.listdir("/proc/self/fd"))


def report(label, done, extra=""):
    print("%-12s %10d %10d KiB %4d threads %4d fds %s"
          % (label, done, rss_kib(), threading.active_count(), fd_count(), extra), flush=True)
    return rss_kib(), threading.active_count(), fd_count()


def growth(first, last):
    return "RSS %+d KiB, threads %+d, descriptors %+d" % tuple(b - a for a, b in zip(first, last))


def round_trips(kind, total, threads, reports):
    transport = Transport(kind)
    station, master = open_pair(transport)
    step = max(total // reports, 1)
    done = 0
    started = time.perf_counter()
    try:
        run(master, min(5000, total), threads)  # warm-up
        first = report("round trips", 0)
        while done < total:
            n, wall, cpu = run(master, min(step, total - done), threads)
            done += n
            last = report("round trips", done, "%8.0f/s %6.1f us CPU/rt" % (n / wall, cpu / n * 1e6))
    finally:
        master.close()
        station.close()
        transport.close()
    print("%s, %d thread%s: %d round trips in %.0f s; %s"
          % (kind, threads, "" if threads == 1 else "s", done, time.perf_counter() - started, growth(first, last)))


def cycle(number):
    """One master and one station on a fresh null-modem, line noise, a query, stop/start, close."""
    name = "soak%d" % number
    station = Station("brix:pipe:%s:b" % name, timeout=0.02, query_timeout=1.0)
    master = ozu_mew.MewMaster("brix:pipe:%s:a" % name, timeout=0.02, query_timeout=1.0)
    try:
        station.start()
        station.registers[0] = number & 0xFFFF
        # line noise the station rejects, then a frame longer than a frame may be
        master._send("\x00garbage%01#\r" + "%01#RDD" + "0" * (ozu_brix.MAX_FRAME_LENGTH + 50) + "\r")
        if master.get_uint16(1, "DT0") != number & 0xFFFF:
            raise AssertionError("wrong value in cycle %d" % number)
        station.stop()
        station.start()
        master.set_uint16(1, "DT1", 7)
    finally:
        master.close()
        station.close()


def churn(cycles, reports):
    step = max(cycles // reports, 1)
    started = time.perf_counter()
    null = open(os.devnull, "w")
    saved, sys.stdout = sys.stdout, null  # the station prints one line per noisy frame
    ozu_mew._err = null                   # and the link one per over-long frame
    try:
        for i in range(min(50, cycles)):  # warm-up
            cycle(i)
        gc.collect()
        sys.stdout = saved
        first = report("cycles", 0)
        sys.stdout = null
        for i in range(cycles):
            cycle(i)
            if (i + 1) % step == 0:
                gc.collect()
                sys.stdout = saved
                last = report("cycles", i + 1)
                sys.stdout = null
    finally:
        sys.stdout = saved
        ozu_mew._err = sys.stderr
        null.close()
    print("churn: %d open/use/stop/start/close cycles in %.0f s; %s"
          % (cycles, time.perf_counter() - started, growth(first, last)))


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--round-trips", type=int, default=1_000_000)
    parser.add_argument("--transport", choices=("pipe", "pty"), default="pipe")
    parser.add_argument("--threads", type=int, default=1, help="querying threads")
    parser.add_argument("--cycles", type=int, default=300, help="open/close cycles (0: none)")
    parser.add_argument("--reports", type=int, default=10)
    args = parser.parse_args(argv)
    if args.round_trips:
        round_trips(args.transport, args.round_trips, args.threads, args.reports)
    if args.cycles:
        churn(args.cycles, args.reports)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

"""Queries over TCP to a device server that drops the connection every few seconds.

A local TCP server stands for a serial device server with station 1 behind it: it answers each
one-register RD request with the register's number, and every --drop-every seconds it sends half of
the next answer and closes the connection (every third drop it also stops listening for a second).
A MewMaster with `reconnect` on queries it in a loop for --minutes. Every answer is checked.

    python bench/reconnect_soak.py                    # 30 minutes, a drop every 10 s
    python bench/reconnect_soak.py --minutes 3

Reports at intervals and at the end: queries done, failed (by error text), wrong answers (must be
0), reconnects, resident memory, threads and descriptors at start and at end.
"""
import argparse
import collections
import os
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import ozu_mew  # noqa: E402
from device_server import DroppingServer  # noqa: E402
from roundtrip import rss_kib  # noqa: E402


def drop_every(seconds):
    """A drop policy: the first answer after each `seconds`."""
    due = [time.monotonic() + seconds]

    def drop_now(server):
        if time.monotonic() < due[0]:
            return False
        due[0] = time.monotonic() + seconds
        return True
    return drop_now


def fd_count():
    return len(os.listdir("/proc/self/fd"))


def snapshot():
    return rss_kib(), threading.active_count(), fd_count()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=float, default=30.0)
    parser.add_argument("--drop-every", type=float, default=10.0, help="seconds between drops")
    parser.add_argument("--report-every", type=float, default=30.0, help="seconds between reports")
    parser.add_argument("--query-timeout", type=float, default=0.5)
    parser.add_argument("--reconnect", type=float, default=0.2)
    args = parser.parse_args()

    ozu_mew._err = open(os.devnull, "w")   # the link's line-error diagnostics, one per broken frame
    server = DroppingServer(drop_every(args.drop_every), restart=3, pause=1.0, poll=0.1)
    master = ozu_mew.MewMaster(server.name, timeout=0.2, query_timeout=args.query_timeout,
                               reconnect=args.reconnect)
    port = master.dev_handle._serial
    done = wrong = 0
    failed = collections.Counter()
    slowest_failure = 0.0
    start = time.monotonic()
    end = start + args.minutes * 60
    next_report = start + args.report_every
    first = None
    print("%8s %10s %8s %6s %6s %10s %8s %5s" % ("seconds", "done", "failed", "wrong", "drops", "reconnects",
                                                 "RSS KiB", "fds"), flush=True)

    def report():
        rss, threads, fds = snapshot()
        print("%8.0f %10d %8d %6d %6d %10d %8d %5d" % (time.monotonic() - start, done, sum(failed.values()), wrong,
                                                       server.drops, port.reconnects, rss, fds), flush=True)

    register = 0
    try:
        while time.monotonic() < end:
            register = register % 9999 + 1
            t = time.monotonic()
            try:
                if master.get_uint16(1, "DT%d" % register) == register:
                    done += 1
                else:
                    wrong += 1
            except OSError as exc:
                failed["%s: %s" % (type(exc).__name__, str(exc).replace(port.port, "<port>"))] += 1
                slowest_failure = max(slowest_failure, time.monotonic() - t)
                time.sleep(0.05)             # a poller backs off a little while the line is down
            if first is None and time.monotonic() - start > 5:
                first = snapshot()           # after the warm-up
            if time.monotonic() >= next_report:
                next_report += args.report_every
                report()
    finally:
        report()
        last = snapshot()
        master.close()
        server.close()
    first = first or last
    print("queries: %d done, %d failed, %d wrong; %d drops, %d reconnects" % (done, sum(failed.values()), wrong,
                                                                           server.drops, port.reconnects))
    for text, count in failed.most_common():
        print("  failed %6d  %s" % (count, text))
    print("slowest failed query: %.3f s (query_timeout %.3f s)" % (slowest_failure, args.query_timeout))
    print("start (after 5 s): RSS %d KiB, %d threads, %d fds; end: RSS %d KiB, %d threads, %d fds"
          % (first + last))
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())

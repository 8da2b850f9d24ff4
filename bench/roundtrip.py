"""Round trips of MewMaster.get_uint16 against a MewFullDuplexBase station in the same process.

Transports:
  pty   two pseudo-terminals linked by `socat pty,raw,echo=0,link=A pty,raw,echo=0,link=B`
  pipe  the ozu_brix virtual null-modem (brix:pipe:NAME:a / :b)

Reports round trips per second and CPU microseconds per round trip (this process: master and
station together; socat's own CPU separately), with one and with four querying threads.

Next to each Python figure, in the same run and over the same kind of line, the C++ probe
build/ozu_roundtrip_probe (built with the project) measures two baselines:
  (a) direct   a master thread and a station thread reading and writing the line directly: what
               the line allows
  (b) threads  the link's own structure written plainly in C++: querying threads, a master
               receiver, a station receiver and a station worker, handing frames over through
               mutex/condition-variable queues, one queue per query
The rows alternate round by round; every ratio is the median of the ratios within a round.

  python bench/roundtrip.py                  # both transports, 1 and 4 threads, with the probes
  python bench/roundtrip.py --count 50000 --transport pipe --rounds 5
  python bench/roundtrip.py --no-probe       # the Python figures alone
  python bench/roundtrip.py --soak 1000000   # RSS and thread count while running 1,000,000 round trips
"""
import argparse
import os
import pathlib
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import ozu_mew

LINE_TIMEOUT = 0.2
ROOT = pathlib.Path(__file__).resolve().parents[1]
PROBE_ROW = re.compile(r"^(pty|pipe) (direct|threads) (\d+) round trips/s ([\d.]+) us CPU/rt$")


class Station(ozu_mew.MewFullDuplexBase):
    """Station 1 with a register map; reads of DT0 return the number of reads so far."""

    def __init__(self, channel, **kwargs):
        self.registers = {}
        super().__init__(channel, slave_station=1, **kwargs)

    def on_get_multi_uint16(self, station, name, count):
        start = int(name[1:])
        return [self.registers.get(start + i, 0) for i in range(count)]

    def on_set_multi_uint16(self, station, name, values):
        start = int(name[1:])
        for i, v in enumerate(values):
            self.registers[start + i] = v

    def on_get_coil(self, station, name):
        return False

    def on_set_coil(self, station, name, value):
        pass

    def on_get_multi_coil_uint16(self, station, name, count):
        return [0] * count

    def on_set_multi_coil_uint16(self, station, name, values):
        pass


class Transport:
    """Opens the two ends; `close()` tears everything down."""

    def __init__(self, kind):
        self.kind = kind
        self.socat = None
        self.tmp = None
        if kind == "pipe":
            name = "bench%d" % os.getpid()
            self.ends = ("brix:pipe:%s:a" % name, "brix:pipe:%s:b" % name)
        else:
            if shutil.which("socat") is None:
                raise SystemExit("socat is not installed")
            self.tmp = tempfile.mkdtemp(prefix="ozu_bench_")
            a, b = os.path.join(self.tmp, "A"), os.path.join(self.tmp, "B")
            self.socat = subprocess.Popen(
                ["socat", "pty,raw,echo=0,link=%s" % a, "pty,raw,echo=0,link=%s" % b],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + 5
            while not (os.path.exists(a) and os.path.exists(b)):
                if time.monotonic() > deadline:
                    raise SystemExit("socat did not create its ptys")
                time.sleep(0.01)
            self.ends = (a, b)

    def channel(self, end):
        # A tty path outside /dev/tty* is handed over as a ready-made channel.
        name = self.ends[end]
        return ozu_mew.MewSerial(port=name, timeout=LINE_TIMEOUT) if self.kind == "pty" else name

    def helper_cpu(self):
        """CPU seconds used so far by socat (0 for the pipe)."""
        if self.socat is None:
            return 0.0
        with open("/proc/%d/stat" % self.socat.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def close(self):
        if self.socat is not None:
            self.socat.terminate()
            self.socat.wait()
        if self.tmp is not None:
            shutil.rmtree(self.tmp, ignore_errors=True)


def open_pair(transport):
    kwargs = {} if transport.kind == "pty" else {"timeout": LINE_TIMEOUT}
    station = Station(transport.channel(0), query_timeout=2.0, **kwargs)
    station.start()
    master = ozu_mew.MewMaster(transport.channel(1), query_timeout=2.0, **kwargs)
    station.registers[0] = 0x1234
    return station, master


def thread_switches(native_id):
    """Context switches (voluntary and not) of one thread of this process so far (0 once it has ended)."""
    try:
        with open("/proc/self/task/%d/status" % native_id) as f:
            return sum(int(line.split()[1]) for line in f if "ctxt_switches:" in line)
    except OSError:
        return 0


def thread_cpu(native_id):
    """CPU seconds of one thread of this process so far (0 once it has ended)."""
    try:
        with open("/proc/self/task/%d/stat" % native_id) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def run(master, total, threads, where=None):
    """`total` round trips from `threads` threads. With `where` (a dict of name -> thread), also
    returns the CPU seconds each of those threads and the querying threads used."""
    per_thread = total // threads
    failures = []
    callers_cpu, callers_switches = [], []
    before = {name: thread_cpu(t.native_id) for name, t in (where or {}).items()}
    switches = {name: thread_switches(t.native_id) for name, t in (where or {}).items()}

    def loop():
        me = threading.get_native_id()
        start, start_switches = thread_cpu(me), thread_switches(me)
        try:
            for _ in range(per_thread):
                if master.get_uint16(1, "DT0") != 0x1234:
                    raise AssertionError("wrong value")
        except BaseException as exc:  # reported by the caller
            failures.append(exc)
        callers_cpu.append(thread_cpu(me) - start)
        callers_switches.append(thread_switches(me) - start_switches)

    workers = [threading.Thread(target=loop) for _ in range(threads)]
    wall, cpu = time.perf_counter(), time.process_time()
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    if failures:
        raise failures[0]
    if where is None:
        return per_thread * threads, wall, cpu
    split = {name: thread_cpu(t.native_id) - before[name] for name, t in where.items()}
    split["querying threads"] = sum(callers_cpu)
    switched = {name: thread_switches(t.native_id) - switches[name] for name, t in where.items()}
    switched["querying threads"] = sum(callers_switches)
    return per_thread * threads, wall, cpu, split, switched


def probe_row(probe, kind, row, count, threads):
    """(round trips/s, CPU us per round trip) of one probe row, run on its own."""
    out = subprocess.run([probe, "--line", kind, "--only", row, "--count", str(count), "--rounds", "1",
                          "--threads", str(threads)], check=True, capture_output=True, text=True).stdout
    for line in out.splitlines():
        m = PROBE_ROW.match(line.strip())
        if m:
            return float(m.group(3)), float(m.group(4))
    raise SystemExit("%s printed no %s row:\n%s" % (probe, row, out))


def bench(kind, count, rounds=1, probe=None):
    transport = Transport(kind)
    station, master = open_pair(transport)
    try:
        run(master, 500, 1)  # warm up
        where = {"master receiver": master._receiver_thread, "station receiver": station._receiver_thread,
                 "station worker": station._slave_thread}
        for threads in (1, 4):
            rows = {"python": [], "direct": [], "threads": []}
            splits, switch_rates, helpers = [], [], []
            for _ in range(rounds):
                if probe:
                    rows["direct"].append(probe_row(probe, kind, "direct", count, 1))
                    rows["threads"].append(probe_row(probe, kind, "threads", count, threads))
                helper = transport.helper_cpu()
                n, wall, cpu, split, switched = run(master, count, threads, where)
                helpers.append((transport.helper_cpu() - helper) / n * 1e6)
                rows["python"].append((n / wall, cpu / n * 1e6))
                splits.append({k: v / n * 1e6 for k, v in split.items()})
                switch_rates.append({k: v / n for k, v in switched.items()})
            rate = statistics.median(r for r, _ in rows["python"])
            cpu_us = statistics.median(c for _, c in rows["python"])
            extra = "   socat %.1f us/rt" % statistics.median(helpers) if transport.socat else ""
            print("%-4s %d thread%s  %8.0f round trips/s   %6.1f us CPU/rt%s"
                  % (kind, threads, " " if threads == 1 else "s", rate, cpu_us, extra), flush=True)
            print("       CPU us/rt by thread: " + ", ".join(
                "%s %.1f" % (k, statistics.median(s[k] for s in splits)) for k in splits[0]))
            print("       context switches/rt by thread: " + ", ".join(
                "%s %.2f" % (k, statistics.median(s[k] for s in switch_rates)) for k in switch_rates[0]))
            for name, label in (("threads", "(b) threads"), ("direct", "(a) direct ")):
                if not rows[name]:
                    continue
                speed = statistics.median(p[0] / c[0] for p, c in zip(rows["python"], rows[name]))
                cost = statistics.median(p[1] / c[1] for p, c in zip(rows["python"], rows[name]))
                print("       probe %s %8.0f round trips/s   %6.1f us CPU/rt   python: throughput %.2f x, CPU %.2f x"
                      % (label, statistics.median(r for r, _ in rows[name]), statistics.median(c for _, c in rows[name]),
                         speed, cost), flush=True)
    finally:
        master.close()
        station.close()
        transport.close()


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def descriptors():
    return len(os.listdir("/proc/self/fd"))


def soak(kind, total, threads):
    transport = Transport(kind)
    station, master = open_pair(transport)
    step = max(total // 20, 1)
    done = 0
    start = time.perf_counter()
    try:
        print("%-10s %12s %10s %8s %12s" % ("round trips", "per second", "RSS KiB", "threads", "descriptors"))
        while done < total:
            n, wall, _ = run(master, min(step, total - done), threads)
            done += n
            print("%-10d %12.0f %10d %8d %12d" % (done, n / wall, rss_kib(), threading.active_count(), descriptors()),
                  flush=True)
    finally:
        master.close()
        station.close()
        transport.close()
    print("soak: %d round trips in %.0f s; threads after close: %d, descriptors: %d"
          % (done, time.perf_counter() - start, threading.active_count(), descriptors()))


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--transport", choices=("pty", "pipe", "both"), default="both")
    parser.add_argument("--count", type=int, default=20000, help="round trips per measurement")
    parser.add_argument("--soak", type=int, metavar="N", help="run N round trips and report RSS and threads")
    parser.add_argument("--threads", type=int, default=1, help="querying threads during --soak")
    parser.add_argument("--rounds", type=int, default=1, help="alternating rounds; medians are reported")
    parser.add_argument("--probe", default=os.environ.get("OZU_PROBE", str(ROOT / "build" / "ozu_roundtrip_probe")),
                        help="the C++ probe (default: build/ozu_roundtrip_probe)")
    parser.add_argument("--no-probe", action="store_true", help="leave out the probe rows")
    args = parser.parse_args(argv)
    probe = None
    if not args.no_probe and not args.soak:
        if not os.access(args.probe, os.X_OK):
            raise SystemExit("%s is not built (make build), or run with --no-probe" % args.probe)
        probe = args.probe
    kinds = ("pty", "pipe") if args.transport == "both" else (args.transport,)
    if args.soak:
        for kind in kinds:
            soak(kind, args.soak, args.threads)
        return 0
    for kind in kinds:
        bench(kind, args.count, max(args.rounds, 1), probe)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

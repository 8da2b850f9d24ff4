"""Round trips of MewMaster.get_uint16 against a MewFullDuplexBase station in the same process.

Transports:
  pty   two pseudo-terminals linked by `socat pty,raw,echo=0,link=A pty,raw,echo=0,link=B`
  pipe  the ozu_brix virtual null-modem (brix:pipe:NAME:a / :b)

Reports round trips per second and CPU microseconds per round trip (this process: master and
station together; socat's own CPU separately), with one and with four querying threads.

  python bench/roundtrip.py                  # both transports, 1 and 4 threads
  python bench/roundtrip.py --count 50000 --transport pipe
  python bench/roundtrip.py --soak 1000000   # RSS and thread count while running 1,000,000 round trips
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

import ozu_mew

LINE_TIMEOUT = 0.2


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
    callers_cpu = []
    before = {name: thread_cpu(t.native_id) for name, t in (where or {}).items()}

    def loop():
        start = thread_cpu(threading.get_native_id())
        try:
            for _ in range(per_thread):
                if master.get_uint16(1, "DT0") != 0x1234:
                    raise AssertionError("wrong value")
        except BaseException as exc:  # reported by the caller
            failures.append(exc)
        callers_cpu.append(thread_cpu(threading.get_native_id()) - start)

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
    return per_thread * threads, wall, cpu, split


def bench(kind, count):
    transport = Transport(kind)
    station, master = open_pair(transport)
    try:
        run(master, 500, 1)  # warm up
        where = {"master receiver": master._receiver_thread, "station receiver": station._receiver_thread,
                 "station worker": station._slave_thread}
        for threads in (1, 4):
            helper = transport.helper_cpu()
            n, wall, cpu, split = run(master, count, threads, where)
            helper = transport.helper_cpu() - helper
            extra = "   socat %.1f us/rt" % (helper / n * 1e6) if transport.socat else ""
            print("%-4s %d thread%s  %8.0f round trips/s   %6.1f us CPU/rt%s"
                  % (kind, threads, " " if threads == 1 else "s", n / wall, cpu / n * 1e6, extra), flush=True)
            print("       CPU us/rt by thread: " + ", ".join("%s %.1f" % (k, v / n * 1e6) for k, v in split.items()))
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


def soak(kind, total, threads):
    transport = Transport(kind)
    station, master = open_pair(transport)
    step = max(total // 20, 1)
    done = 0
    start = time.perf_counter()
    try:
        print("%-10s %12s %10s %8s" % ("round trips", "per second", "RSS KiB", "threads"))
        while done < total:
            n, wall, _ = run(master, min(step, total - done), threads)
            done += n
            print("%-10d %12.0f %10d %8d" % (done, n / wall, rss_kib(), threading.active_count()), flush=True)
    finally:
        master.close()
        station.close()
        transport.close()
    print("soak: %d round trips in %.0f s; threads after close: %d"
          % (done, time.perf_counter() - start, threading.active_count()))


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--transport", choices=("pty", "pipe", "both"), default="both")
    parser.add_argument("--count", type=int, default=20000, help="round trips per measurement")
    parser.add_argument("--soak", type=int, metavar="N", help="run N round trips and report RSS and threads")
    parser.add_argument("--threads", type=int, default=1, help="querying threads during --soak")
    args = parser.parse_args(argv)
    kinds = ("pty", "pipe") if args.transport == "both" else (args.transport,)
    if args.soak:
        for kind in kinds:
            soak(kind, args.soak, args.threads)
        return 0
    for kind in kinds:
        bench(kind, args.count)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

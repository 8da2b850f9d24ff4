"""Query round trips per second between a MewMaster and a minimal answering station.

The station is a thread at the other end of the line that answers every request with a fixed
register value as soon as the request's carriage return arrives. Lines: the in-process virtual
null-modem of ozu_brix and a pseudo-terminal pair. For each line two masters are measured: one on
a MewSerial (its frames read natively by the receiver) and one on a class derived from MewSerial,
which the receiver reads through the channel's Python methods.

Reported per case, over the repeats: the median and the best round trips per second (wall clock)
and the process CPU time per round trip of the median run (all threads: caller, receiver and
station). On a busy machine the runs spread widely; compare medians. The "raw port" row is the floor: the same request
written and the answer read on a bare ozu_brix port by the calling thread, without a master.

    python bench/master.py [--queries 2000] [--repeat 5]
"""
import argparse
import itertools
import os
import threading
import time

import ozu_brix
import ozu_mew

REQUEST_REGISTER = "DT100"
VALUE = 0x1234


def with_check(body):
    crc = 0
    for b in body.encode():
        crc ^= b
    return "%s%02X\r" % (body, crc)


ANSWER = with_check("%01$RD3412").encode()


class PythonReadSerial(ozu_mew.MewSerial):
    """MewSerial's behaviour through its Python methods (not the exact class)."""


class Station(threading.Thread):
    """Answers each request frame with ANSWER. `read(n)` / `write(b)` move raw bytes."""

    def __init__(self, read, write):
        super().__init__(daemon=True)
        self._read, self._write = read, write
        self.stopping = False

    def run(self):
        pending = b""
        while not self.stopping:
            try:
                chunk = self._read()
            except OSError:
                return
            if not chunk:
                continue
            pending += chunk
            while b"\r" in pending:
                _, pending = pending.split(b"\r", 1)
                self._write(ANSWER)


_pipe_names = itertools.count()


def pipe_line():
    name = "brix:pipe:bench%d" % next(_pipe_names)
    peer = ozu_brix.create_serial_instance(port=name + ":b", timeout=0.1)

    def read():
        first = peer.read(1)
        waiting = peer.in_waiting
        return first + peer.read(waiting) if first and waiting else first

    return name + ":a", Station(read, peer.write), peer.close


def pty_line():
    master_fd, slave_fd = os.openpty()
    path = os.ttyname(slave_fd)

    def read():
        try:
            return os.read(master_fd, 4096)
        except OSError:
            return b""

    def write(data):
        os.write(master_fd, data)

    def close():
        os.close(slave_fd)
        os.close(master_fd)

    return path, Station(read, write), close


def measure(make_line, channel_cls, queries):
    port, station, close_line = make_line()
    station.start()
    master = ozu_mew.MewMaster(channel_cls(port=port, timeout=0.2), query_timeout=2)
    try:
        for _ in range(50):  # warm up
            master.get_uint16(1, REQUEST_REGISTER)
        wall, cpu = time.perf_counter(), time.process_time()
        for _ in range(queries):
            if master.get_uint16(1, REQUEST_REGISTER) != VALUE:
                raise RuntimeError("wrong answer")
        wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    finally:
        station.stopping = True
        master.close()
        station.join(1)
        close_line()
    return queries / wall, cpu / queries * 1e6


def measure_raw(make_line, queries):
    port, station, close_line = make_line()
    station.start()
    serial = ozu_brix.create_serial_instance(port=port, timeout=2)
    request = ozu_mew.MewStatic.fill_read_data_area_message(1, REQUEST_REGISTER, 1).encode()

    def round_trip():
        serial.write(request)
        answer = serial.read(len(ANSWER))
        if answer != ANSWER:
            raise RuntimeError("wrong answer")

    try:
        for _ in range(50):
            round_trip()
        wall, cpu = time.perf_counter(), time.process_time()
        for _ in range(queries):
            round_trip()
        wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    finally:
        station.stopping = True
        serial.close()
        station.join(1)
        close_line()
    return queries / wall, cpu / queries * 1e6


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--queries", type=int, default=2000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    cases = [
        ("null-modem", pipe_line),
        ("pty", pty_line),
    ]
    channels = [("MewSerial (native)", ozu_mew.MewSerial), ("derived (Python read)", PythonReadSerial)]
    print("%-12s %-24s %14s %12s %16s" % ("line", "channel", "median q/s", "best q/s", "CPU us/query"))

    def report(line_name, channel_name, runs):
        runs = sorted(runs)
        median = runs[len(runs) // 2]
        print("%-12s %-24s %14.0f %12.0f %16.1f" % (line_name, channel_name, median[0], runs[-1][0], median[1]))

    for line_name, make_line in cases:
        report(line_name, "raw port", [measure_raw(make_line, args.queries) for _ in range(args.repeat)])
        for channel_name, cls in channels:
            report(line_name, channel_name, [measure(make_line, cls, args.queries) for _ in range(args.repeat)])


if __name__ == "__main__":
    main()

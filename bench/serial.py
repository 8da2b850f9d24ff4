"""Frames per second through `_receive_frame_by_serial` from a pseudo-terminal kept full of frames.

Columns: an ozu_brix port (read natively), the same with its wire trace on (logger "ozu_brix.wire"
left at its default level, so records are made but dropped), the same ozu_brix port behind a Python
wrapper (read through its Python read(), one byte per call), and a port of the common pure-Python
serial library when it is installed (it is not a dependency: `pip install pyserial` to get that
column).

    python bench/serial.py [--frames 10000] [--repeat 3] [--line pty|pipe]

--line pipe reads from the in-process null-modem filled beforehand (at most 1 MiB of frames), which
times the reading alone, without the scheduling of a writer thread.
"""
import argparse
import os
import sys
import threading
import time

# This file's own name would hide the serial library it compares against.
_here = os.path.dirname(os.path.abspath(__file__))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _here]

import ozu_brix  # noqa: E402
import ozu_mew  # noqa: E402

FRAME = b"%01$RD630000000000000000**\r"


class Forwarding:
    def __init__(self, port):
        self._port = port

    def read(self, *args):
        return self._port.read(*args)

    @property
    def port(self):
        return self._port.port

    def close(self):
        self._port.close()


def open_brix(path):
    return ozu_brix.create_serial_instance(port=path, timeout=1.0)


def open_brix_traced(path):
    return ozu_brix.create_serial_instance(port=path, timeout=1.0, trace=True)


def open_brix_via_python(path):
    return Forwarding(open_brix(path))


def open_pyserial(path):
    import serial  # optional

    return serial.Serial(path, timeout=1.0)


def feed(master, data):
    view = memoryview(data)
    while view:
        view = view[os.write(master, view):]


_pipes = iter(range(1 << 30))


def run_prefilled(opener, frames):
    """Like run(), over the in-process null-modem filled with every frame before the clock starts,
    so that only the reading is timed."""
    name = "brix:pipe:bench%d" % next(_pipes)
    source = ozu_brix.create_serial_instance(port=name + ":a")
    port = opener(name + ":b")
    try:
        expected = FRAME.decode("latin")
        for start in range(0, frames, 10_000):
            source.write(FRAME * min(10_000, frames - start))
        wrong = 0
        start = time.perf_counter()
        for _ in range(frames):
            if ozu_mew._receive_frame_by_serial(port) != expected:
                wrong += 1
        return time.perf_counter() - start, wrong
    finally:
        port.close()
        source.close()


def run(opener, frames):
    """Seconds to read `frames` frames, and how many came back wrong."""
    master, slave = os.openpty()
    port = opener(os.ttyname(slave))
    writer = threading.Thread(target=feed, args=(master, FRAME * frames), daemon=True)
    try:
        expected = FRAME.decode("latin")
        wrong = 0
        writer.start()
        start = time.perf_counter()
        for _ in range(frames):
            if ozu_mew._receive_frame_by_serial(port) != expected:
                wrong += 1
        elapsed = time.perf_counter() - start
        writer.join()
        return elapsed, wrong
    finally:
        port.close()
        os.close(master)
        os.close(slave)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=10_000)
    parser.add_argument("--repeat", type=int, default=3, help="runs per column; the best is reported")
    parser.add_argument("--line", choices=("pty", "pipe"), default="pty")
    args = parser.parse_args()
    runner = run if args.line == "pty" else run_prefilled
    if args.line == "pipe":
        args.frames = min(args.frames, (1 << 20) // len(FRAME))

    columns = [("ozu_brix", open_brix)]
    if hasattr(ozu_brix.SerialPort, "trace"):
        columns.append(("ozu_brix, trace on", open_brix_traced))
    columns.append(("ozu_brix via Python read()", open_brix_via_python))
    try:
        import serial  # noqa: F401

        if args.line == "pty":
            columns.append(("pure-Python serial library", open_pyserial))
    except ImportError:
        print("pure-Python serial library not installed: its column is skipped")

    print(f"{args.frames} frames of {len(FRAME)} bytes from a {args.line}, best of {args.repeat}")
    rates = {}
    for name, opener in columns:
        best = min(runner(opener, args.frames) for _ in range(args.repeat))
        elapsed, wrong = best
        rates[name] = args.frames / elapsed
        note = f"  ({wrong} frames wrong)" if wrong else ""
        print(f"  {name:28s} {rates[name]:12,.0f} frames/s  {elapsed * 1000:9.1f} ms{note}")
    if "pure-Python serial library" in rates:
        ratio = rates["ozu_brix"] / rates["pure-Python serial library"]
        print(f"  ozu_brix / pure-Python serial library: {ratio:.1f}x")


if __name__ == "__main__":
    main()

"""Pieces of the fault-injection tests: a raw far end on a pseudo-terminal, a station with
storage, ports that fail on demand, and the checks that nothing was left behind."""
import io
import os
import select
import threading
import time
import tty

import pytest

import ozu_mew
from line_helpers import open_fds, wait_until, with_check  # noqa: F401 (re-exported for the tests)
from slave_helpers import Closing

LINE = 0.05  # per-byte read time-out of the library's ports; a pause longer than it ends a frame


def read_request(station=1, register=100):
    return with_check("%%%02X#RDD%05d%05d" % (station, register, register))


class PtyPeer:
    """The controlling side of a pseudo-terminal pair, written and read as raw bytes; the library
    opens the terminal side by its path."""

    def __init__(self):
        self.fd, self._terminal = os.openpty()
        tty.setraw(self.fd)
        self.path = os.ttyname(self._terminal)

    def send(self, data):
        os.write(self.fd, data.encode("latin-1") if isinstance(data, str) else data)

    def receive(self, wait=1.0):
        """One frame up to its carriage return, or what arrived within `wait` seconds."""
        data = b""
        deadline = time.monotonic() + wait
        while not data.endswith(b"\r"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                break
            data += os.read(self.fd, 1)
        return data.decode("latin-1")

    def ask(self, text, wait=1.0):
        self.send(text)
        return self.receive(wait)

    def hang_up(self):
        """The far end goes away: both descriptors of the pair that the test holds are closed."""
        for name in ("fd", "_terminal"):
            fd = getattr(self, name)
            if fd is not None:
                os.close(fd)
                setattr(self, name, None)

    close = hang_up


class Station(ozu_mew.MewFullDuplexBase):
    """Station 1, serving from the start, with 16-bit registers in a dictionary. While `gate` is
    an unset event, the register read hook waits for it (at most 5 seconds)."""

    gate = None

    def __init__(self, *args, **kwargs):
        self.registers = {}
        super().__init__(*args, slave_station=kwargs.pop("slave_station", 1), **kwargs)
        self.start()

    def on_get_coil(self, station, name):
        return False

    def on_set_coil(self, station, name, value):
        pass

    def on_get_multi_coil_uint16(self, station, name, count):
        return [0] * count

    def on_set_multi_coil_uint16(self, station, name, values):
        pass

    def on_get_multi_uint16(self, station, name, count):
        if self.gate is not None:
            self.gate.wait(5.0)
        start = int(name[1:])
        return [self.registers.get(start + i, 0) for i in range(count)]

    def on_set_multi_uint16(self, station, name, values):
        start = int(name[1:])
        for i, value in enumerate(values):
            self.registers[start + i] = value


class FlakyPort:
    """A real port whose writes fail while `failing` is set (as a serial adapter's can)."""

    def __init__(self, port):
        self._port = port
        self.failing = False

    def write(self, data):
        if self.failing:
            raise OSError(5, "Input/output error: " + self._port.port)
        return self._port.write(data)

    def __getattr__(self, name):
        return getattr(self._port, name)


class Lines(io.StringIO):
    """A stream that the library's diagnostics go to, read back as lines; safe across threads."""

    def __init__(self):
        super().__init__()
        self._lock = threading.Lock()

    def write(self, text):
        with self._lock:
            return super().write(text)

    def lines(self):
        with self._lock:
            return self.getvalue().splitlines()


@pytest.fixture
def err_lines(monkeypatch):
    """The link's diagnostics (the module's `_err`)."""
    lines = Lines()
    monkeypatch.setattr(ozu_mew, "_err", lines)
    return lines


class _Captured:
    def __init__(self, capsys):
        self._capsys = capsys
        self._text = ""

    def lines(self):
        self._text += self._capsys.readouterr().out
        return self._text.splitlines()


@pytest.fixture
def out_lines(capsys):
    """The station side's lines on standard output (pytest's capture, which every thread's
    print reaches)."""
    return _Captured(capsys)


def _describe(fd):
    try:
        return os.readlink("/proc/self/fd/" + fd)
    except OSError:  # closed since the listing
        return None


def rss_kb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


class Leaks(Closing):
    """Closes what a test registered, newest first, then checks that every thread the test
    started has ended and every descriptor it opened is closed."""

    def __init__(self):
        super().__init__()
        self.fds = open_fds()

    def check(self):
        self.close_all(timeout=3.0)
        left = {fd: _describe(fd) for fd in open_fds() - self.fds}
        left = {fd: what for fd, what in left.items() if what is not None}
        assert left == {}, "descriptors left open: %s" % left


@pytest.fixture
def no_leaks():
    leaks = Leaks()
    yield leaks
    leaks.check()

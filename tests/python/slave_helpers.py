"""Shared pieces of the station tests: frames with checks, recording stations, small waits."""
import itertools
import queue
import threading
import time

import pytest

import ozu_mew
from line_helpers import wait_until, with_check  # noqa: F401 (re-exported for the tests)

_pipe_numbers = itertools.count()


def pipe_pair(prefix="slave"):
    """Names of the two ends of a fresh virtual null-modem."""
    name = "%s%d_%d" % (prefix, threading.get_ident() % 1000, next(_pipe_numbers))
    return "brix:pipe:%s:a" % name, "brix:pipe:%s:b" % name


class RecordingHooks:
    """The six hooks, recording each call as (hook, station, name, count/value/values).

    Read results come from `coil` and `words` (a value, or a callable taking the count).
    """

    coil = True
    words = (0x1234,)

    def _record(self, *call):
        self.calls.append(call)

    def on_get_coil(self, station, name):
        self._record("on_get_coil", station, name)
        return self.coil

    def on_get_multi_coil_uint16(self, station, name, count):
        self._record("on_get_multi_coil_uint16", station, name, count)
        return self.words(count) if callable(self.words) else self.words

    def on_get_multi_uint16(self, station, name, count):
        self._record("on_get_multi_uint16", station, name, count)
        return self.words(count) if callable(self.words) else self.words

    def on_set_coil(self, station, name, value):
        self._record("on_set_coil", station, name, value)

    def on_set_multi_coil_uint16(self, station, name, values):
        self._record("on_set_multi_coil_uint16", station, name, values)

    def on_set_multi_uint16(self, station, name, values):
        self._record("on_set_multi_uint16", station, name, values)


class RecordingSlave(RecordingHooks, ozu_mew.MewSlaveBase):
    def __init__(self, station=1):
        super().__init__(station)
        self.calls = []


class StorageHooks:
    """Hooks over a small register and contact map, guarded by a lock (the station's worker and
    the application's threads may use it at once)."""

    def _init_storage(self):
        self.registers = {}
        self.coils = {}
        self.store_lock = threading.Lock()

    @staticmethod
    def _word_address(name):
        return name[0], int(name[1:])

    def on_get_coil(self, station, name):
        with self.store_lock:
            return self.coils.get(name, False)

    def on_set_coil(self, station, name, value):
        with self.store_lock:
            self.coils[name] = value

    def _get_words(self, area, start, count):
        with self.store_lock:
            return [self.registers.get((area, start + i), 0) for i in range(count)]

    def _set_words(self, area, start, values):
        with self.store_lock:
            for i, v in enumerate(values):
                self.registers[(area, start + i)] = v

    def on_get_multi_coil_uint16(self, station, name, count):
        return self._get_words("W" + name[0], int(name[1:]), count)

    def on_set_multi_coil_uint16(self, station, name, values):
        self._set_words("W" + name[0], int(name[1:]), values)

    def on_get_multi_uint16(self, station, name, count):
        return self._get_words(name[0], int(name[1:]), count)

    def on_set_multi_uint16(self, station, name, values):
        self._set_words(name[0], int(name[1:]), values)


class StorageStation(StorageHooks, ozu_mew.MewFullDuplexBase):
    """A full-duplex station with real storage."""

    def __init__(self, *args, **kwargs):
        self._init_storage()
        super().__init__(*args, **kwargs)


class RawPeer:
    """The far end of a line, written and read as plain bytes (no link of its own)."""

    def __init__(self, port, timeout=0.05):
        self.port = ozu_mew.create_serial_instance(port=port, timeout=timeout)

    def send(self, text):
        self.port.write(text.encode("latin-1"))

    def receive(self, wait=1.0):
        """One frame up to its carriage return, or what arrived within `wait` seconds."""
        data = b""
        deadline = time.monotonic() + wait
        while not data.endswith(b"\r") and time.monotonic() < deadline:
            data += self.port.read(1)
        return data.decode("latin-1")

    def ask(self, text, wait=1.0):
        self.send(text)
        return self.receive(wait)

    def close(self):
        self.port.close()


class SlowQueue(queue.Queue):
    """A queue that takes a while to make, as on a loaded machine."""

    def __init__(self):
        time.sleep(0.05)
        super().__init__()


def call_from_receiver(link, peer, action):
    """Runs `action()` in the link's receiver thread, from a feedback listener that an answer frame
    sent by `peer` reaches, and waits until it has returned."""
    returned = threading.Event()

    class Listener:
        def put(self, frame):
            action()
            returned.set()

    with link._listener_lock:
        link._feedback_listeners.append(Listener())
    peer.send("%01$WC14\r")
    assert returned.wait(5)


class Closing:
    """Closes what a test opened, newest first, then checks that no thread was left behind."""

    def __init__(self):
        self.items = []
        self.threads_before = set(threading.enumerate())

    def __call__(self, item):
        self.items.append(item)
        return item

    def close_all(self, timeout=2.0):
        while self.items:
            self.items.pop().close()
        wait_until(lambda: set(threading.enumerate()) <= self.threads_before, timeout=timeout)


@pytest.fixture
def closing():
    c = Closing()
    yield c
    c.close_all()

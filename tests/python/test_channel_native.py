"""The frame reader over real ozu_brix ports (read natively) against the same bytes read through a
Python read(): a scripted fake port, and a wrapper that forwards read() to the very same port."""
import itertools
import os
import signal
import threading

import pytest

import ozu_brix
import ozu_mew
from channel_helpers import FakePort

TIMEOUT = 0.2
NO = "Error: device no response.:"
BAD = "Error: device response format invalid.:"
_names = itertools.count()


class Forwarding:
    """A port object of the caller's own: every read goes through Python to the real port."""

    def __init__(self, port):
        self._port = port

    def read(self, *args):
        return self._port.read(*args)

    @property
    def port(self):
        return self._port.port


def write_all(fd, data):
    while data:
        data = data[os.write(fd, data):]


class Line:
    """A reading port of the given kind and a way to put bytes on its line."""

    def __init__(self, kind, timeout=TIMEOUT):
        self.cleanup = []
        device, _, via = kind.partition("-")
        if device == "fake":
            self.port = FakePort(port="FAKE")
            self.send = self.port.feed
            return
        if device == "pipe":
            name = "chan%d" % next(_names)
            peer = ozu_brix.create_serial_instance(port="brix:pipe:%s:a" % name, timeout=timeout)
            port = ozu_brix.create_serial_instance(port="brix:pipe:%s:b" % name, timeout=timeout)
            self.send = peer.write
            self.cleanup += [peer.close, port.close]
        else:
            master, slave = os.openpty()
            port = ozu_brix.create_serial_instance(port=os.ttyname(slave), timeout=timeout)
            self.send = lambda data: write_all(master, data)
            self.cleanup += [port.close, lambda: os.close(master), lambda: os.close(slave)]
        self.real = port
        self.port = Forwarding(port) if via == "python" else port

    def close(self):
        for step in self.cleanup:
            try:
                step()
            except OSError:
                pass


KINDS = ["fake", "pipe-native", "pipe-python", "pty-native", "pty-python"]


@pytest.fixture(params=KINDS)
def line(request):
    ln = Line(request.param)
    yield ln
    ln.close()


LATIN = bytes(range(0x80, 0x100)) + b"\r"
SCRIPTS = {
    "two frames, then silence": [
        (b"%01$RC120\r%01$RC021\r", "%01$RC120\r"),
        (b"", "%01$RC021\r"),
        (b"", NO),
    ],
    "a lone carriage return": [(b"\r", "\r")],
    "bytes after the frame stay": [(b"%01$RC1\r%0", "%01$RC1\r"), (b"2\r", "%02\r")],
    "frame cut short": [(b"%01$RC", BAD), (b"1\r", "1\r")],
    "upper half of latin": [(LATIN, LATIN.decode("latin"))],
    "longest frame": [(b"%" + b"0" * 2046 + b"\r", "%" + "0" * 2046 + "\r")],
    "over-long, resynchronised": [(b"%" + b"X" * 2100 + b"\r%01$RC0\r", BAD), (b"", "%01$RC0\r")],
    "over-long, then silence": [(b"Y" * 2048, BAD), (b"%\r", "%\r")],
}


@pytest.mark.parametrize("script", SCRIPTS.values(), ids=SCRIPTS.keys())
def test_same_results_on_every_kind_of_port(line, script):
    for data, expected in script:
        if data:
            line.send(data)
        if expected in (NO, BAD):
            with pytest.raises(OSError) as info:
                ozu_mew._receive_frame_by_serial(line.port)
            assert type(info.value) is OSError
            assert info.value.args == (expected + line.port.port,)
        else:
            assert ozu_mew._receive_frame_by_serial(line.port) == expected


@pytest.mark.parametrize("kind", ["fake", "pipe-native", "pipe-python"])
def test_discarding_stops_at_its_limit_on_every_kind_of_port(kind):
    ln = Line(kind)
    try:
        ln.send(b"Z" * (2048 + 64 * 1024) + b"tail\r")
        with pytest.raises(OSError, match=BAD):
            ozu_mew._receive_frame_by_serial(ln.port)
        assert ozu_mew._receive_frame_by_serial(ln.port) == "tail\r"
    finally:
        ln.close()


# ---------------------------------------------------------------- port errors, natively and not

def error_of(call):
    with pytest.raises(Exception) as info:
        call()
    return type(info.value), info.value.args


def break_line(kind, ln):
    if kind == "closed":
        ln.real.close()
    else:
        ln.cleanup.pop(1)()  # closes the master side of the pty


@pytest.mark.parametrize(
    "device, failure", [("pipe", "closed"), ("pty", "closed"), ("pty", "pty hung up")]
)
def test_port_errors_are_those_of_the_ports_read(device, failure):
    errors = []
    for kind in ("native", "python"):
        ln = Line(device + "-" + kind)
        try:
            ln.send(b"%01")  # part of a frame, then the line breaks
            break_line(failure, ln)
            raised = error_of(lambda: ozu_mew._receive_frame_by_serial(ln.port))
            assert issubclass(raised[0], OSError)
            assert raised == error_of(ln.real.read)
            errors.append(tuple(str(a).replace(ln.real.port, "NAME") for a in raised))
        finally:
            ln.close()
    assert errors[0] == errors[1]


class Interrupted(Exception):
    pass


@pytest.mark.parametrize("kind", ["pipe-native", "pipe-python"])
def test_signal_handler_ends_a_wait_without_time_out(kind):
    ln = Line(kind, timeout=None)
    rescue = threading.Timer(3.0, lambda: ln.send(b"\r"))  # keeps a broken reader from hanging the run

    def handler(signum, frame):
        raise Interrupted()

    old = signal.signal(signal.SIGALRM, handler)
    try:
        rescue.start()
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        with pytest.raises(Interrupted):
            ozu_mew._receive_frame_by_serial(ln.port)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
        rescue.cancel()
        ln.close()


@pytest.mark.parametrize("kind", ["pipe-native", "pty-native"])
def test_other_threads_run_while_the_reader_waits(kind):
    ln = Line(kind, timeout=2.0)
    result = []
    reader = threading.Thread(target=lambda: result.append(ozu_mew._receive_frame_by_serial(ln.port)))
    try:
        reader.start()
        # Python code in this thread runs while the reader blocks; the frame is sent from here.
        threading.Event().wait(0.05)
        ln.send(b"%01$RC1\r")
        reader.join(5)
        assert result == ["%01$RC1\r"]
    finally:
        reader.join(5)
        ln.close()


# ---------------------------------------------------------------- channels over ozu_brix ports

def test_mew_serial_over_a_null_modem():
    name = "chan%d" % next(_names)
    peer = ozu_brix.create_serial_instance(port="brix:pipe:%s:a" % name, timeout=TIMEOUT)
    ch = ozu_mew.MewSerial(port="brix:pipe:%s:b" % name, timeout=TIMEOUT, encoding="ascii")
    try:
        ch.send_frame("%01#RCSR0000**\r")
        assert peer.read(100) == b"%01#RCSR0000**\r"
        peer.write(b"%01$RC1\xe921\r%")
        assert ch.receive_frame() == "%01$RC1\xe921\r"
        assert ch.in_waiting == 1 and ch.read() == "%"
        assert ch.port == "brix:pipe:%s:b" % name
    finally:
        ch.close()
        peer.close()


def test_dual_serial_over_two_null_modems():
    w, r = "chan%d" % next(_names), "chan%d" % next(_names)
    with ozu_mew.DualSerial("brix:pipe:%s:a,brix:pipe:%s:b" % (w, r), timeout=TIMEOUT) as ch:
        far_end_in = ozu_brix.create_serial_instance(port="brix:pipe:%s:b" % w, timeout=TIMEOUT)
        far_end_out = ozu_brix.create_serial_instance(port="brix:pipe:%s:a" % r, timeout=TIMEOUT)
        ch.send_frame("%01#RD\r")
        assert far_end_in.read(100) == b"%01#RD\r"
        far_end_out.write(b"%01$RD12\r")
        assert ch.receive_frame() == "%01$RD12\r"
        far_end_in.close()
        far_end_out.close()
    with pytest.raises(ozu_brix.PortClosedError):
        ch.receive_frame()

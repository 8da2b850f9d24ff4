"""The frame reader over ozu_brix ports (read natively) against the same bytes read through a
Python read(): a scripted fake port, and a wrapper that forwards read() to the very same port."""
import itertools
import os
import signal
import threading

import pytest

import ozu_brix
import ozu_mew
from channel_helpers import FakePort

NO = "Error: device no response.:"
BAD = "Error: device response format invalid.:"
_names = itertools.count()


class Forwarding:
    """A port object of the caller's own: every read goes through Python to the real port."""

    def __init__(self, port):
        self.read, self.port = port.read, port.port


class Line:
    """A reading port of the given kind ("fake", "pipe-native", "pty-python", ...) and its sender."""

    def __init__(self, kind, timeout=0.2):
        device, _, via = kind.partition("-")
        self.cleanup = []
        if device == "fake":
            self.port = self.real = FakePort(port="FAKE")
            self.send = self.port.feed
            return
        if device == "pipe":
            name = "chan%d" % next(_names)
            peer = ozu_brix.create_serial_instance(port="brix:pipe:%s:a" % name, timeout=timeout)
            self.real = ozu_brix.create_serial_instance(port="brix:pipe:%s:b" % name, timeout=timeout)
            self.send = peer.write
            self.cleanup = [peer.close]
        else:
            master, slave = os.openpty()
            self.real = ozu_brix.create_serial_instance(port=os.ttyname(slave), timeout=timeout)
            self.send = lambda data: os.write(master, data)
            self.cleanup = [lambda: os.close(master), lambda: os.close(slave)]
        self.cleanup.append(self.real.close)
        self.port = Forwarding(self.real) if via == "python" else self.real

    def close(self):
        for step in self.cleanup:
            try:
                step()
            except OSError:
                pass


@pytest.fixture
def line(request):
    ln = Line(request.param)
    yield ln
    ln.close()


LATIN = bytes(range(0x80, 0x100)) + b"\r"
SCRIPTS = {
    "two frames, then silence": [(b"%01$RC120\r%01$RC021\r", "%01$RC120\r"), (b"", "%01$RC021\r"), (b"", NO)],
    "a lone carriage return": [(b"\r", "\r")],
    "bytes after the frame stay": [(b"%01$RC1\r%0", "%01$RC1\r"), (b"2\r", "%02\r")],
    "frame cut short": [(b"%01$RC", BAD), (b"1\r", "1\r")],
    "upper half of latin": [(LATIN, LATIN.decode("latin"))],
    "longest frame": [(b"%" + b"0" * 2046 + b"\r", "%" + "0" * 2046 + "\r")],
    "over-long, resynchronised": [(b"%" + b"X" * 2100 + b"\r%01$RC0\r", BAD), (b"", "%01$RC0\r")],
    "over-long, then silence": [(b"Y" * 2048, BAD), (b"%\r", "%\r")],
    # a "%" is only ever the header of a frame: it starts one afresh
    "a header inside a frame": [(b"%01$RC%01$RC120\r", "%01$RC120\r")],
    "noise, then a frame": [(b"\x00\n%01$RC1\r", "%01$RC1\r")],
    "a lone header, then a frame": [(b"%", BAD), (b"%01$RC1\r", "%01$RC1\r")],
    "over-long, ended by a header": [(b"%" + b"X" * 2100 + b"%01$RC0\r", "%01$RC0\r")],
    "over-long, cut short": [(b"Z" * 2100 + b"%01$R", BAD), (b"C0\r", "C0\r")],
}


@pytest.mark.parametrize("line", ["fake", "pipe-native", "pipe-python", "pty-native", "pty-python"], indirect=True)
@pytest.mark.parametrize("script", SCRIPTS.values(), ids=SCRIPTS.keys())
def test_same_results_on_every_kind_of_port(line, script):
    for data, expected in script:
        if data:
            line.send(data)
        if expected in (NO, BAD):
            with pytest.raises(OSError) as info:
                ozu_mew._receive_frame_by_serial(line.port)
            assert type(info.value) is OSError and info.value.args == (expected + line.port.port,)
        else:
            assert ozu_mew._receive_frame_by_serial(line.port) == expected


def trickle(send, data, piece=5):
    """Sends `data` from another thread a few bytes at a time; returns that thread."""
    def run():
        for i in range(0, len(data), piece):
            send(data[i:i + piece])
            threading.Event().wait(0.0005)
    sender = threading.Thread(target=run)
    sender.start()
    return sender


# A frame found whole in the port's buffer is taken without letting go of the GIL; one that is
# still arriving is waited for without it (the sender here is a Python thread, which could not
# send while the reader held the GIL). Both ways give the same results.
@pytest.mark.parametrize("line", ["pipe-native", "pty-native"], indirect=True)
@pytest.mark.parametrize("script", SCRIPTS.values(), ids=SCRIPTS.keys())
def test_frames_still_arriving_read_as_frames_already_buffered(line, script):
    for data, expected in script:
        sender = trickle(line.send, data) if data else None
        try:
            if expected in (NO, BAD):
                with pytest.raises(OSError) as info:
                    ozu_mew._receive_frame_by_serial(line.port)
                assert info.value.args == (expected + line.port.port,)
            else:
                assert ozu_mew._receive_frame_by_serial(line.port) == expected
        finally:
            if sender:
                sender.join(10)


@pytest.mark.parametrize("line", ["fake", "pipe-native", "pipe-python"], indirect=True)
def test_discarding_stops_at_its_limit(line):
    line.send(b"Z" * (2048 + 64 * 1024) + b"tail\r")
    with pytest.raises(OSError, match=BAD):
        ozu_mew._receive_frame_by_serial(line.port)
    assert ozu_mew._receive_frame_by_serial(line.port) == "tail\r"


def error_of(call):
    with pytest.raises(OSError) as info:
        call()
    return type(info.value), info.value.args


@pytest.mark.parametrize("device, hang_up", [("pipe", False), ("pty", False), ("pty", True)])
def test_port_errors_are_those_of_the_ports_read(device, hang_up):
    errors = []
    for via in ("native", "python"):
        ln = Line(device + "-" + via)
        try:
            ln.send(b"%01")  # part of a frame, then the line breaks
            ln.cleanup.pop(0)() if hang_up else ln.real.close()
            raised = error_of(lambda: ozu_mew._receive_frame_by_serial(ln.port))
            assert raised == error_of(ln.real.read)
            errors.append((raised[0], raised[1][0], raised[1][1].replace(ln.real.port, "NAME")))
        finally:
            ln.close()
    assert errors[0] == errors[1]


class Interrupted(Exception):
    pass


@pytest.mark.parametrize("kind", ["pipe-native", "pipe-python"])
def test_a_signal_handler_ends_a_wait_without_time_out(kind):
    ln = Line(kind, timeout=None)
    rescue = threading.Timer(3.0, lambda: ln.send(b"\r"))  # a broken reader fails instead of hanging
    old = signal.signal(signal.SIGALRM, lambda *_: (_ for _ in ()).throw(Interrupted()))
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


def test_other_threads_run_while_the_reader_waits():
    ln = Line("pty-native", timeout=2.0)
    result = []
    reader = threading.Thread(target=lambda: result.append(ozu_mew._receive_frame_by_serial(ln.port)))
    try:
        reader.start()
        threading.Event().wait(0.05)
        ln.send(b"%01$RC1\r")  # sent by Python code while the reader blocks
        reader.join(5)
        assert result == ["%01$RC1\r"]
    finally:
        reader.join(5)
        ln.close()


def test_channels_over_null_modems():
    x, y = "chan%d" % next(_names), "chan%d" % next(_names)
    mew = ozu_mew.MewSerial(port="brix:pipe:%s:a" % x, timeout=0.2)
    far_end = ozu_brix.create_serial_instance(port="brix:pipe:%s:a" % y, timeout=0.2)
    with ozu_mew.DualSerial("brix:pipe:%s:b,brix:pipe:%s:b" % (x, y), timeout=0.2) as dual:
        dual.send_frame("%01#RD\xe9\r")
        assert mew.receive_frame() == "%01#RD\xe9\r"
        mew.send_frame("%01$RC1\r")
        assert dual._channel_to_write.read(100) == b"%01$RC1\r"
        far_end.write(b"%01$RD12\r%")
        assert dual.receive_frame() == "%01$RD12\r"
        assert dual.in_waiting == 1 and dual.read() == "%"
    with pytest.raises(ozu_brix.PortClosedError):
        dual.receive_frame()
    mew.close()
    far_end.close()

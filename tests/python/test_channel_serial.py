"""MewSerial and DualSerial over port objects from a recording `create_serial_instance`."""
import os
import queue
import subprocess
import sys
import textwrap

import pytest

import ozu_brix
import ozu_mew
from channel_helpers import TIMEOUT, install_opener

PAIR = ' need 2 port names separated by ",". Got '


@pytest.fixture
def opener(monkeypatch):
    return install_opener(monkeypatch)


@pytest.fixture(params=["mew", "dual"])
def make(request, opener):
    """Creates a channel of either kind; returns it with its read port and its write port."""

    def create(**kwargs):
        if request.param == "mew":
            ch = ozu_mew.MewSerial(port="COM3", **kwargs)
            return ch, opener.ports[-1], opener.ports[-1]
        ch = ozu_mew.DualSerial("COM1,COM2", **kwargs)
        return ch, opener.ports[-1], opener.ports[-2]

    return create


@pytest.mark.parametrize("kwargs", [{}, {"port": "/dev/ttyS0", "timeout": 0.5, "encoding": "ascii", "x": 1}])
def test_mew_serial_passes_every_keyword_on(opener, kwargs):
    ch = ozu_mew.MewSerial(**kwargs)
    assert opener.calls == [kwargs] and list(opener.calls[0]) == list(kwargs)
    assert ch._serial is opener.ports[0] and ch.encoding == kwargs.get("encoding", "latin")


@pytest.mark.parametrize(
    "text, write, read", [("COM1,COM2", "COM1", "COM2"), ("COM1, COM2", "COM1", " COM2"), ("COM1,", "COM1", "")]
)
def test_dual_serial_opens_the_write_port_first(opener, text, write, read):
    ch = ozu_mew.DualSerial(text, timeout=0.2, encoding="ascii")
    assert opener.calls == [{"port": write, "timeout": 0.2, "encoding": "ascii"},
                            {"port": read, "timeout": 0.2, "encoding": "ascii"}]
    assert (ch._channel_to_write, ch._channel_to_read) == tuple(opener.ports)
    assert ch.port == write + "," + read


@pytest.mark.parametrize("cls_name, text, count", [("DualSerial", "COM1", 1), ("DualSerial", "A,B,C", 3), ("Pair", "", 1)])
def test_dual_serial_needs_two_names(opener, cls_name, text, count):
    cls = ozu_mew.DualSerial if cls_name == "DualSerial" else type(cls_name, (ozu_mew.DualSerial,), {})
    with pytest.raises(AssertionError) as info:
        cls(text)
    assert str(info.value) == cls_name + PAIR + str(count) and opener.calls == []
    with pytest.raises(TypeError, match=r"^Argument 'port' has incorrect type \(expected str, got bytes\)$"):
        cls(b"A,B")


def test_without_assertions_the_pair_check_is_skipped():
    code = textwrap.dedent("""
        import ozu_mew
        log = []
        class Port:
            def __init__(self, port, **kw): self.port = port; log.append("open " + port)
            def close(self): log.append("close " + self.port)
        ozu_mew.create_serial_instance = Port
        print(ozu_mew.DualSerial("A,B,C").port)
        try:
            ozu_mew.DualSerial("D")
        except IndexError as e:
            print(e, log)
        """)
    out = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True, timeout=30)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["A,B", "list index out of range ['open A', 'open B', 'open D', 'close D']"]


def test_failing_read_port_closes_the_write_port(monkeypatch):
    error = OSError(16, "busy")
    opener = install_opener(monkeypatch, fail={"COM2": error})
    with pytest.raises(OSError) as info:
        ozu_mew.DualSerial("COM1,COM2")
    assert info.value is error and opener.log == [("open", "COM1"), ("open", "COM2"), ("close", "COM1")]


@pytest.mark.parametrize("write_fails", [False, True])
@pytest.mark.parametrize("via", ["close", "with"])
def test_a_failing_read_port_close_still_closes_the_write_port(opener, via, write_fails):
    ch = ozu_mew.DualSerial("COM1,COM2")
    first = OSError(5, "read port")

    def failing_close():
        opener.log.append(("close", "COM2"))
        raise first

    def write_close():
        opener.log.append(("close", "COM1"))
        if write_fails:
            raise ZeroDivisionError("write port")

    ch._channel_to_read.close = failing_close
    ch._channel_to_write.close = write_close
    with pytest.raises(OSError) as info:
        if via == "close":
            ch.close()
        else:
            with ch:
                pass
    # The read port's error is the one that passes on, whatever closing the write port did.
    assert info.value is first and opener.log[2:] == [("close", "COM2"), ("close", "COM1")]


def test_a_missing_read_port_still_closes_the_write_port(opener):
    ch = ozu_mew.DualSerial("COM1,COM2")
    del ch._channel_to_read
    with pytest.raises(AttributeError, match="_channel_to_read"):
        ch.close()
    assert opener.log[2:] == [("close", "COM1")]


def test_a_failing_read_port_close_with_the_write_port_gone_passes_its_own_error(opener):
    ch = ozu_mew.DualSerial("COM1,COM2")
    first = OSError(5, "read port")

    def failing_close():
        raise first

    ch._channel_to_read.close = failing_close
    del ch._channel_to_write
    with pytest.raises(OSError) as info:
        ch.close()
    assert info.value is first and info.value.__context__ is None


class _ReadPortFailingClose:
    """A real port whose close() releases it and then reports a failure, as a vanished device does."""

    def __init__(self, port):
        self.port, self.error = port, OSError(5, "Input/output error")

    def close(self):
        self.port.close()
        raise self.error


@pytest.mark.parametrize("kind", ["pty", "pipe"])
def test_the_write_port_of_a_failed_close_can_be_opened_again(kind, tmp_path):
    # Real exclusive ports: a pty locked by the tty backend, or a null-modem end that opens once.
    fds = []
    if kind == "pty":
        names = []
        for _ in range(2):
            master, slave = os.openpty()
            fds += [master, slave]
            names.append(os.ttyname(slave))
    else:
        names = ["brix:pipe:%s-w:a" % tmp_path.name, "brix:pipe:%s-r:b" % tmp_path.name]
    try:
        ch = ozu_mew.DualSerial(",".join(names), timeout=0.1)
        failing = _ReadPortFailingClose(ch._channel_to_read)
        ch._channel_to_read = failing
        with pytest.raises(OSError) as info:
            ch.close()
        assert info.value is failing.error
        assert not ch._channel_to_write.is_open
        again = ozu_brix.create_serial_instance(port=names[0], timeout=0.1)
        again.close()
    finally:
        for fd in fds:
            os.close(fd)


def test_with_block_closes_read_then_write_and_lets_errors_pass(opener):
    with pytest.raises(ZeroDivisionError):
        with ozu_mew.DualSerial("COM1,COM2") as ch:
            assert isinstance(ch, ozu_mew.DualSerial)
            1 / 0
    assert opener.log[2:] == [("close", "COM2"), ("close", "COM1")]
    ch.reset_input_buffer()
    assert opener.log[4:] == [("reset", "COM2")]
    assert not hasattr(ozu_mew.MewSerial, "__enter__")


def test_encoding_of_sent_and_read_text(make):
    ch, reader, writer = make(encoding="ascii")
    ch.send_frame("%01#RC**\r")
    with pytest.raises(UnicodeEncodeError):
        ch.send_frame("\xe9")
    with pytest.raises(TypeError, match=r"^Argument 'data' has incorrect type \(expected str, got bytes\)$"):
        ch.send_frame(b"%")
    assert writer.written == [b"%01#RC**\r"]
    reader.script = [b"%01", TIMEOUT, b"\xff"]
    assert (ch.read(2), ch.read(size=5), ch.read()) == ("%0", "1", "")
    with pytest.raises(UnicodeDecodeError):
        ch.read()
    latin, _, latin_writer = make()
    latin.send_frame("\xe9")
    assert latin_writer.written == [b"\xe9"]


@pytest.mark.parametrize("encoding, error", [("no-such-codec", LookupError), (5, TypeError)])
def test_a_bad_encoding_fails_only_when_used(make, encoding, error):
    ch, reader, writer = make(encoding=encoding)
    with pytest.raises(error):
        ch.send_frame("x")
    reader.feed(b"x")
    with pytest.raises(error):
        ch.read()
    assert writer.written == []


def test_receive_frame_is_latin_and_uses_the_module_reader_of_the_moment(make, monkeypatch):
    ch, reader, _ = make(encoding="ascii")
    reader.feed(b"%01$RC\xe9\r")
    assert ch.receive_frame() == "%01$RC\xe9\r"
    monkeypatch.setattr(ozu_mew, "_receive_frame_by_serial", lambda port: "seen " + port.port)
    assert ch.receive_frame() == "seen " + reader.port
    monkeypatch.setattr(ozu_mew, "_receive_frame_by_serial", lambda port: b"frame")
    with pytest.raises(TypeError, match="^Expected str, got bytes$"):
        ch.receive_frame()


@pytest.mark.parametrize(
    "attr, value, error",
    [("port", None, None), ("port", 9, "Expected str, got int"), ("in_waiting", 3, None),
     ("in_waiting", None, None), ("in_waiting", True, "Expected int, got bool")],
)
def test_results_of_port_objects_are_checked(opener, attr, value, error):
    mew = ozu_mew.MewSerial(port="COM3")
    setattr(opener.ports[0], attr, value)
    if error:
        with pytest.raises(TypeError, match="^" + error + "$"):
            getattr(mew, attr)
    else:
        assert getattr(mew, attr) == value


def test_dual_serial_port_names_must_join(opener):
    ch = ozu_mew.DualSerial("COM1,COM2")
    assert ch.in_waiting == 0
    ch._channel_to_read.port = 2
    with pytest.raises(TypeError, match=r"^sequence item 1: expected str instance, int found$"):
        ch.port


# "latin" (the default) is taken as Latin-1 directly; "Latin" and "L1" go through the codec registry
# and "latin-1" through the interpreter's own shortcut. All must read and write the same.
@pytest.mark.parametrize("encoding", ["latin", "Latin", "L1", "latin-1"])
def test_the_latin_encoding_reads_and_writes_as_every_name_of_it(make, encoding):
    ch, reader, writer = make(encoding=encoding)
    every_byte = bytes(range(256))
    reader.feed(every_byte)
    assert ch.read(256) == every_byte.decode("latin-1")
    ch.send_frame(every_byte.decode("latin-1"))
    assert writer.written == [every_byte]
    with pytest.raises(UnicodeEncodeError) as info:
        ch.send_frame("%01\u20ac\r")
    assert (info.value.encoding, info.value.start, info.value.reason) == ("latin-1", 3, "ordinal not in range(256)")
    assert str(info.value) == "'latin-1' codec can't encode character '\\u20ac' in position 3: ordinal not in range(256)"


def test_the_link_reads_the_first_character_in_its_channels_encoding():
    # The receiver reads a frame's first byte natively and decodes it as the channel would.
    for encoding, frame in (("latin", "%01$RC1\r"), ("cp500", None)):
        name = "enc_%s" % encoding
        peer = ozu_brix.create_serial_instance(port="brix:pipe:%s:b" % name, timeout=0.2)
        link = ozu_mew.MewBase(ozu_mew.MewSerial(port="brix:pipe:%s:a" % name, timeout=0.2, encoding=encoding))
        heard = queue.Queue()
        link._feedback_listeners.append(heard)
        link.start()
        try:
            peer.write(b"%01$RC1\r")
            if frame:
                assert heard.get(timeout=5) == frame
            else:  # b"%" is not "%" in EBCDIC: the byte is noise, and so is the rest
                with pytest.raises(queue.Empty):
                    heard.get(timeout=0.5)
        finally:
            link.close()
            peer.close()
